// kvstamp: writes the access address into the URL slot of a built KestrelVault setup program,
// so that the program presets it and runs its wizard unattended, and the publisher pins into
// the pin slot beside it. One source for both the native Linux build and the Windows console
// build.
//
//   kvstamp set SETUP.exe URL [--publisher SHA256]... [-o OUT.exe] [--force]
//   kvstamp show SETUP.exe
//   kvstamp clear SETUP.exe [-o OUT.exe] [--force]
//
// Exit codes: 0 done, 1 refused or failed (the file is then unchanged), 2 bad command line.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "install/EmbeddedSlotMarkers.h"
#include "install/PublisherPins.h"
#include "tools/textout.h"
#include "tools/thumbprint_text.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kSlotUnits = 1024;
constexpr size_t kSlotBytes = kSlotUnits * 2;

const char kUsage[] =
    "Usage:\n"
    "  kvstamp set SETUP.exe URL [--publisher SHA256]... [-o OUT.exe] [--force]\n"
    "  kvstamp show SETUP.exe\n"
    "  kvstamp clear SETUP.exe [-o OUT.exe] [--force]\n"
    "\n"
    "Writes the access address into the URL slot embedded in a KestrelVault setup program,\n"
    "and the publisher pins into the pin slot beside it. A program with an address in its\n"
    "slot presets it in the host box and runs its wizard unattended. A program with pins\n"
    "starts a downloaded installer or updater only when its signature verifies and its\n"
    "signer's certificate chain holds a pinned certificate.\n"
    "\n"
    "  set     write URL into the slot: the host, optionally with a port or a path. With\n"
    "          \"https://\" in front (any letter case) the program runs over https; with\n"
    "          \"http://\" or no scheme, over http. At most 1023 UTF-16 code units.\n"
    "          The pin slot then holds exactly the pins given with --publisher, none\n"
    "          without it: pins the file had are removed (with a warning) unless given again.\n"
    "  show    print the URL in the slot, or say that it is empty; then one line\n"
    "          \"Publisher: <thumbprint>\" for each pin.\n"
    "  clear   give the file both slots as built: the program then asks for the address,\n"
    "          and no publisher is pinned.\n"
    "\n"
    "  --publisher SHA256\n"
    "              pin a publisher: the SHA-256 thumbprint of a certificate in the signer's\n"
    "              chain (the signer's own, or an issuer's so that a renewed signing\n"
    "              certificate from the same issuer still passes). 64 hex digits, either\n"
    "              case, with colons or spaces between the bytes or without. Repeat it for\n"
    "              up to 16 pins; a program passes with any one of them. Setup programs built\n"
    "              before pins existed have no pin slot and refuse it.\n"
    "  -o OUT.exe  leave SETUP.exe as it is and write the result to OUT.exe.\n"
    "  --force     change a file that carries an Authenticode signature. The signature\n"
    "              covers the slot, so it no longer verifies afterwards: sign the result again.\n"
    "  -h, --help  this text.\n"
    "\n"
    "The file's PE checksum, where it has one, is computed again after a change. A URL with\n"
    "characters outside ASCII is accepted with a warning: the program reads the slot through\n"
    "the ANSI code page of the machine it runs on, and characters that code page cannot\n"
    "represent come out as '?'.\n"
    "\n"
    "Exit codes: 0 done, 1 refused or failed (the file is left unchanged), 2 bad command line.\n";

// A refusal or failure: the message goes to the user and the file stays as it was.
struct Refusal {
    std::string message;
};

// ----------------------------------------------------------------------------------------------
// Text and console output

using kvtools::Utf8FromUtf16;

void Write(FILE* stream, const std::string& utf8) { kvtools::WriteUtf8(stream, utf8); }

std::u16string Utf16FromAscii(const char* text) {
    std::u16string out;
    for (const char* p = text; *p; ++p) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*p)));
    return out;
}

#ifndef _WIN32
// Empty optional for text that is not UTF-8: a URL must not be guessed at.
std::optional<std::u16string> Utf16FromUtf8(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        uint32_t c;
        size_t len;
        if (b < 0x80) {
            c = b;
            len = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            len = 4;
        } else {
            return std::nullopt;
        }
        if (i + len > text.size()) return std::nullopt;
        for (size_t k = 1; k < len; ++k) {
            const unsigned char t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80) return std::nullopt;
            c = (c << 6) | (t & 0x3F);
        }
        static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += len;
    }
    return out;
}
#endif

#ifdef _WIN32
std::string PathText(const fs::path& path) {
    std::wstring w = path.wstring();
    return Utf8FromUtf16(std::u16string(w.begin(), w.end()));
}
#else
std::string PathText(const fs::path& path) { return path.string(); }
#endif

void Warn(const std::string& text) { Write(stderr, "kvstamp: warning: " + text + "\n"); }

// ----------------------------------------------------------------------------------------------
// Files

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Refusal{"cannot open " + PathText(path) + " for reading"};
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw Refusal{"cannot read " + PathText(path)};
    return data;
}

// Writes data to a temporary file beside target and renames it over target, so that target is
// either the old file or the complete new one, never a part.
void ReplaceFile(const fs::path& target, const Bytes& data, const fs::path& permissionsFrom) {
    fs::path temp = target;
    temp += ".kvstamp-tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) throw Refusal{"cannot create " + PathText(temp)};
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            fs::remove(temp, ignored);
            throw Refusal{"cannot write " + PathText(temp)};
        }
    }
    std::error_code ec;
    // Keeps the executable bit and the owner's choices of the file it came from.
    fs::permissions(temp, fs::status(permissionsFrom).permissions(), ec);
#ifdef _WIN32
    const bool renamed = ::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    fs::rename(temp, target, ec);
    const bool renamed = !ec;
#endif
    if (!renamed) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        throw Refusal{"cannot replace " + PathText(target)};
    }
}

// ----------------------------------------------------------------------------------------------
// PE image

uint16_t Get16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }

uint32_t Get32(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

void Put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

struct PeImage {
    size_t checksumOffset = 0;  // of the optional header's CheckSum field
    bool signedImage = false;   // the security directory points at a certificate table
};

// Empty optional when data is not a PE image; why says what is wrong.
std::optional<PeImage> ParsePe(const Bytes& data, std::string& why) {
    if (data.size() < 64 || data[0] != 'M' || data[1] != 'Z') {
        why = "no MZ header";
        return std::nullopt;
    }
    const size_t pe = Get32(data, 0x3C);
    if (pe > data.size() || data.size() - pe < 24 || std::memcmp(&data[pe], "PE\0\0", 4) != 0) {
        why = "no PE signature";
        return std::nullopt;
    }
    const size_t optionalSize = Get16(data, pe + 20);
    const size_t optional = pe + 24;
    if (optionalSize < 2 || data.size() - optional < optionalSize) {
        why = "optional header cut short";
        return std::nullopt;
    }
    const uint16_t magic = Get16(data, optional);
    size_t directoryCountAt;
    if (magic == 0x10B) {
        directoryCountAt = 92;  // PE32
    } else if (magic == 0x20B) {
        directoryCountAt = 108;  // PE32+
    } else {
        why = "unknown optional header kind";
        return std::nullopt;
    }
    if (optionalSize < directoryCountAt + 4) {
        why = "optional header cut short";
        return std::nullopt;
    }
    PeImage image;
    image.checksumOffset = optional + 64;
    const uint32_t directories = Get32(data, optional + directoryCountAt);
    const size_t security = optional + directoryCountAt + 4 + 4 * 8;  // entry 4 of 8 bytes each
    if (directories > 4 && security + 8 <= optional + optionalSize) {
        image.signedImage = Get32(data, security) != 0 && Get32(data, security + 4) != 0;
    }
    return image;
}

// The standard PE image checksum: 16-bit one's-complement-style sum of the file with the
// checksum field counted as zero, folded to 16 bits, plus the file length.
uint32_t ComputePeChecksum(const Bytes& data, size_t checksumOffset) {
    auto byteAt = [&](size_t i) -> uint32_t {
        return (i >= checksumOffset && i < checksumOffset + 4) ? 0 : data[i];
    };
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 1 < data.size(); i += 2) {
        sum += byteAt(i) | (byteAt(i + 1) << 8);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    if (i < data.size()) {
        sum += byteAt(i);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return sum + static_cast<uint32_t>(data.size());
}

// ----------------------------------------------------------------------------------------------
// The slot

Bytes Utf16Le(const std::u16string& text) {
    Bytes out;
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

std::vector<size_t> FindAll(const Bytes& data, const Bytes& pattern) {
    std::vector<size_t> hits;
    const std::boyer_moore_searcher<Bytes::const_iterator> searcher(pattern.begin(), pattern.end());
    for (auto it = data.begin();;) {
        it = std::search(it, data.end(), searcher);
        if (it == data.end()) break;
        hits.push_back(static_cast<size_t>(it - data.begin()));
        ++it;
    }
    return hits;
}

const Bytes& MarkerBytes() {
    static const Bytes bytes = Utf16Le(Utf16FromAscii(KV_SLOT_MARKER_TEXT));
    return bytes;
}

const Bytes& EndMarkerBytes() {
    static const Bytes bytes = Utf16Le(Utf16FromAscii(KV_SLOT_END_MARKER_TEXT) + u'\0');
    return bytes;
}

// The slot's 2048 bytes as the build leaves them.
Bytes SlotAsBuilt() {
    Bytes slot(kSlotBytes, 0);
    std::copy(MarkerBytes().begin(), MarkerBytes().end(), slot.begin() + 2);
    return slot;
}

// Offset of the one slot in data. The slot is found by its end marker (always there) and by its
// first marker (there as built); both must agree on one place.
size_t FindSlot(const Bytes& data) {
    std::vector<size_t> starts;
    for (size_t at : FindAll(data, EndMarkerBytes()))
        if (at >= kSlotBytes) starts.push_back(at - kSlotBytes);
    std::vector<size_t> markerOnly;
    for (size_t at : FindAll(data, MarkerBytes())) {
        if (at < 2) continue;
        if (std::find(starts.begin(), starts.end(), at - 2) == starts.end()) markerOnly.push_back(at - 2);
    }
    const size_t total = starts.size() + markerOnly.size();
    if (total == 0) throw Refusal{"no URL slot found: not a KestrelVault setup program"};
    if (total > 1) {
        throw Refusal{"found " + std::to_string(total) +
                      " URL slots; cannot tell which one the program reads, so nothing was changed"};
    }
    if (!markerOnly.empty()) {
        throw Refusal{"found the slot's marker but not its end marker: this build cannot be stamped "
                      "(its slot could not be found again after a URL overwrote the marker)"};
    }
    return starts.front();
}

// The NUL-terminated text at the start of the slot; complete is false when no NUL ends it
// within the slot.
std::u16string ReadSlot(const Bytes& data, size_t slot, bool& complete) {
    std::u16string text;
    complete = false;
    for (size_t i = 0; i < kSlotUnits; ++i) {
        const char16_t c = Get16(data, slot + 2 * i);
        if (c == 0) {
            complete = true;
            break;
        }
        text.push_back(c);
    }
    return text;
}

// ----------------------------------------------------------------------------------------------
// The publisher pin slot

static_assert(kPinSlotBytes == 4 + 32 * kMaxPublisherPins, "count, then the thumbprints");

const Bytes& PinEndMarkerBytes() {
    static const Bytes bytes = Utf16Le(Utf16FromAscii(KV_PIN_SLOT_END_MARKER_TEXT) + u'\0');
    return bytes;
}

// Offset of the one pin slot in data, found by its end marker; none in a setup program built
// before pins existed.
std::optional<size_t> FindPinSlot(const Bytes& data) {
    std::vector<size_t> starts;
    for (size_t at : FindAll(data, PinEndMarkerBytes()))
        if (at >= kPinSlotBytes) starts.push_back(at - kPinSlotBytes);
    if (starts.empty()) return std::nullopt;
    if (starts.size() > 1) {
        throw Refusal{"found " + std::to_string(starts.size()) +
                      " publisher pin slots; cannot tell which one the program reads, so nothing was changed"};
    }
    return starts.front();
}

// The pins in the slot at data[slot], in their order; nullopt when the count is above what the
// slot holds (the program then starts no downloaded program at all). count gets the count.
std::optional<std::vector<Thumbprint>> ReadPins(const Bytes& data, size_t slot, uint32_t& count) {
    count = Get32(data, slot);
    if (count > kMaxPublisherPins) return std::nullopt;
    std::vector<Thumbprint> pins(count);
    for (uint32_t i = 0; i < count; ++i)
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(slot + 4 + 32 * i), 32, pins[i].begin());
    return pins;
}

// The count, the pins, then zeros to the slot's end: nothing of earlier pins stays behind.
void WritePins(uint8_t* slot, const std::vector<Thumbprint>& pins) {
    std::fill(slot, slot + kPinSlotBytes, 0);
    for (int i = 0; i < 4; ++i) slot[i] = static_cast<uint8_t>(pins.size() >> (8 * i));
    for (size_t i = 0; i < pins.size(); ++i) std::copy(pins[i].begin(), pins[i].end(), slot + 4 + 32 * i);
}

std::string HexText(const Thumbprint& t) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : t) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0xF]);
    }
    return text;
}

// One syntax for kvstamp and kvcheck: tools/thumbprint_text.h.
std::optional<Thumbprint> ParseThumbprint(const std::u16string& text) { return kvtools::ParseThumbprintText(text); }

// ----------------------------------------------------------------------------------------------
// Commands

struct Options {
    std::string command;
    fs::path file;
    std::optional<std::u16string> url;
    std::vector<Thumbprint> publishers;
    std::optional<fs::path> out;
    bool force = false;
};

// Where the two slots lie in a file's bytes; no pin slot in an older build.
struct Slots {
    size_t url = 0;
    std::optional<size_t> pins;
};

// What a change prints when it is done: a line that names the result, then more lines.
struct Done {
    std::string line;
    std::string more;
};

// Applies change to the slots' bytes and writes the file (or the copy) once. Refuses signed
// files unless forced, and keeps a non-zero checksum valid.
void ChangeSlots(const Options& opt, const std::function<Done(Bytes& data, const Slots& slots)>& change) {
    Bytes data = ReadFile(opt.file);
    std::string why;
    const std::optional<PeImage> image = ParsePe(data, why);
    if (!image) throw Refusal{PathText(opt.file) + " is not a PE image (" + why + ")"};
    Slots slots;
    slots.url = FindSlot(data);
    slots.pins = FindPinSlot(data);
    if (!opt.publishers.empty() && !slots.pins) {
        throw Refusal{PathText(opt.file) +
                      " has no publisher pin slot (a setup program built before pins existed): "
                      "--publisher cannot be stored, so nothing was changed"};
    }
    if (image->signedImage) {
        if (!opt.force) {
            throw Refusal{PathText(opt.file) +
                          " carries an Authenticode signature, and the signed bytes include the slot: "
                          "stamping breaks the signature. Stamp before signing, or pass --force and "
                          "sign the result again"};
        }
        Warn("the file is signed; its signature no longer verifies after this change. Sign it again.");
    }

    const Bytes before = data;
    const Done done = change(data, slots);
    if (Get32(data, image->checksumOffset) != 0) {
        Put32(data, image->checksumOffset, ComputePeChecksum(data, image->checksumOffset));
    }

    const fs::path target = opt.out ? *opt.out : opt.file;
    if (data == before && !opt.out) {
        Write(stdout, done.line + " (the file already was so; left untouched)\n" + done.more);
        return;
    }
    ReplaceFile(target, data, opt.file);
    Write(stdout, done.line + (opt.out ? " -> " + PathText(target) : std::string()) + "\n" + done.more);
}

// Warns about the pins in the slot at data[slot] that keep is without.
void WarnOfRemovedPins(const Bytes& data, size_t slot, const std::vector<Thumbprint>& keep) {
    uint32_t count = 0;
    const std::optional<std::vector<Thumbprint>> old = ReadPins(data, slot, count);
    if (!old) {
        Warn("the publisher pin slot held an unreadable count (" + std::to_string(count) +
             "); it now holds only the pins given with --publisher.");
        return;
    }
    std::vector<Thumbprint> removed;
    for (const Thumbprint& pin : *old)
        if (std::find(keep.begin(), keep.end(), pin) == keep.end()) removed.push_back(pin);
    if (removed.empty()) return;
    std::string text = std::to_string(removed.size()) + (removed.size() == 1 ? " publisher pin" : " publisher pins") +
                       " removed; pass --publisher again to keep " + (removed.size() == 1 ? "it:" : "them:");
    for (const Thumbprint& pin : removed) text += "\n  " + HexText(pin);
    Warn(text);
}

int CommandSet(const Options& opt) {
    const std::u16string& url = *opt.url;
    if (url.empty()) throw Refusal{"the URL is empty; to empty the slot use: kvstamp clear FILE"};
    if (url.size() >= kSlotUnits) {
        throw Refusal{"the URL is " + std::to_string(url.size()) + " UTF-16 code units long; the slot holds at most " +
                      std::to_string(kSlotUnits - 1) + " and its terminating NUL"};
    }
    if (std::any_of(url.begin(), url.end(), [](char16_t c) { return c > 0x7F; })) {
        Warn("the URL holds characters outside ASCII. The program reads them through the ANSI code "
             "page of the machine it runs on; where that code page cannot represent one, it becomes "
             "'?'.");
    }
    ChangeSlots(opt, [&](Bytes& data, const Slots& slots) {
        // The URL, its NUL, then zeros to the end: nothing of an earlier, longer URL or of the
        // marker is left behind it.
        uint8_t* slot = &data[slots.url];
        std::fill(slot, slot + kSlotBytes, 0);
        const Bytes bytes = Utf16Le(url);
        std::copy(bytes.begin(), bytes.end(), slot);
        Done done{"URL written: " + Utf8FromUtf16(url), std::string()};
        if (slots.pins) {
            WarnOfRemovedPins(data, *slots.pins, opt.publishers);
            WritePins(&data[*slots.pins], opt.publishers);
            for (const Thumbprint& pin : opt.publishers) done.more += "Publisher: " + HexText(pin) + "\n";
        }
        return done;
    });
    return 0;
}

int CommandClear(const Options& opt) {
    const Bytes asBuilt = SlotAsBuilt();
    ChangeSlots(opt, [&](Bytes& data, const Slots& slots) {
        std::copy(asBuilt.begin(), asBuilt.end(), &data[slots.url]);
        if (!slots.pins) return Done{"Slot cleared", std::string()};
        WritePins(&data[*slots.pins], {});
        return Done{"Slots cleared: no address, no publisher pins", std::string()};
    });
    return 0;
}

int CommandShow(const Options& opt) {
    const Bytes data = ReadFile(opt.file);
    std::string why;
    if (!ParsePe(data, why)) throw Refusal{PathText(opt.file) + " is not a PE image (" + why + ")"};
    const size_t slot = FindSlot(data);
    const std::optional<size_t> pinSlot = FindPinSlot(data);
    bool complete = false;
    const std::u16string url = ReadSlot(data, slot, complete);
    if (url.empty()) {
        Write(stdout, "The slot is empty: the program asks for the address.\n");
    } else {
        if (!complete) Warn("the slot's text has no terminating NUL; the program reads all of its 1024 code units.");
        Write(stdout, Utf8FromUtf16(url) + "\n");
    }
    if (!pinSlot) return 0;
    uint32_t count = 0;
    const std::optional<std::vector<Thumbprint>> pins = ReadPins(data, *pinSlot, count);
    if (!pins) {
        throw Refusal{"the publisher pin slot holds a count of " + std::to_string(count) + ", above " +
                      std::to_string(kMaxPublisherPins) +
                      ": the program starts no downloaded program. Stamp the pins again with kvstamp set"};
    }
    for (const Thumbprint& pin : *pins) Write(stdout, "Publisher: " + HexText(pin) + "\n");
    return 0;
}

// ----------------------------------------------------------------------------------------------
// Command line

struct UsageError {
    std::string message;
};

Options ParseArguments(const std::vector<std::u16string>& args, const std::vector<fs::path>& asPaths) {
    Options opt;
    std::vector<size_t> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::u16string& a = args[i];
        if (a == u"--force") {
            opt.force = true;
        } else if (a == u"--publisher") {
            if (i + 1 >= args.size()) throw UsageError{"--publisher needs a SHA-256 thumbprint"};
            const std::u16string& text = args[++i];
            const std::optional<Thumbprint> pin = ParseThumbprint(text);
            if (!pin) {
                throw UsageError{"--publisher " + Utf8FromUtf16(text) +
                                 ": not a SHA-256 thumbprint (64 hex digits, colons or spaces between the bytes allowed)"};
            }
            if (std::find(opt.publishers.begin(), opt.publishers.end(), *pin) != opt.publishers.end())
                throw UsageError{"--publisher " + HexText(*pin) + " is given twice"};
            if (opt.publishers.size() == kMaxPublisherPins)
                throw UsageError{"more than " + std::to_string(kMaxPublisherPins) + " --publisher pins; the slot holds " +
                                 std::to_string(kMaxPublisherPins)};
            opt.publishers.push_back(*pin);
        } else if (a == u"-o") {
            if (i + 1 >= args.size()) throw UsageError{"-o needs a file name"};
            opt.out = asPaths[++i];
        } else if (a.size() > 1 && a[0] == u'-' && a != u"-") {
            throw UsageError{"unknown option " + Utf8FromUtf16(a)};
        } else {
            positional.push_back(i);
        }
    }
    if (positional.empty()) throw UsageError{"no command given"};
    opt.command = Utf8FromUtf16(args[positional[0]]);
    const size_t expected = opt.command == "set" ? 3 : 2;
    if (opt.command != "set" && opt.command != "show" && opt.command != "clear")
        throw UsageError{"unknown command " + opt.command};
    if (positional.size() != expected) throw UsageError{"wrong number of arguments for " + opt.command};
    opt.file = asPaths[positional[1]];
    if (opt.command == "set") opt.url = args[positional[2]];
    if (opt.command == "show" && (opt.out || opt.force)) throw UsageError{"show takes neither -o nor --force"};
    if (opt.command != "set" && !opt.publishers.empty()) throw UsageError{"only set takes --publisher"};
    return opt;
}

int Run(const std::vector<std::u16string>& args, const std::vector<fs::path>& asPaths) {
    for (const std::u16string& a : args) {
        if (a == u"--help" || a == u"-h") {
            Write(stdout, kUsage);
            return 0;
        }
    }
    try {
        const Options opt = ParseArguments(args, asPaths);
        if (opt.command == "set") return CommandSet(opt);
        if (opt.command == "clear") return CommandClear(opt);
        return CommandShow(opt);
    } catch (const UsageError& e) {
        Write(stderr, "kvstamp: " + e.message + "\n\n" + kUsage);
        return 2;
    } catch (const Refusal& e) {
        Write(stderr, "kvstamp: " + e.message + "\n");
        return 1;
    } catch (const std::exception& e) {
        Write(stderr, std::string("kvstamp: ") + e.what() + "\n");
        return 1;
    }
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    std::vector<std::u16string> args;
    std::vector<fs::path> paths;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i], argv[i] + std::wcslen(argv[i]));
        paths.emplace_back(argv[i]);
    }
    return Run(args, paths);
}
#else
int main(int argc, char** argv) {
    std::vector<std::u16string> args;
    std::vector<fs::path> paths;
    for (int i = 1; i < argc; ++i) {
        std::optional<std::u16string> text = Utf16FromUtf8(argv[i]);
        if (!text) {
            Write(stderr, std::string("kvstamp: argument ") + std::to_string(i) + " is not valid UTF-8\n");
            return 2;
        }
        args.push_back(*text);
        paths.emplace_back(argv[i]);
    }
    return Run(args, paths);
}
#endif
