// kvdriver: drives the wizard from outside, as a user would, from a separate process on the
// same Wine desktop. It reads one command per line on stdin (UTF-8) and writes one JSON reply
// per line on stdout, flushed at once, so one driver process serves a whole test; a single
// command can also be given on the command line.
//
// Everything that reaches the wizard's windows either is posted (clicks, keys, system
// commands: a modal box opened by the click must not block the driver) or is sent with a
// bounded timeout (texts, states), so a hung or busy wizard gives an error reply, never a hung
// driver. Every wait has a timeout. The full command list is in tests/e2e/README.md.

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const DWORD kDefaultTimeoutMs = 5000;
const DWORD kMaxTimeoutMs = 120000;
const DWORD kPollMs = 10;
// How long a cross-process send may take before the window counts as busy.
const UINT kSendTimeoutMs = 2000;

// ---------------------------------------------------------------------------------------------
// Text conversion

std::wstring FromUtf8(const std::string& s) {
    if (s.empty()) return std::wstring();
    int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

std::string ToUtf8(const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

// ---------------------------------------------------------------------------------------------
// JSON replies: a flat object builder; nested values are passed in already encoded.

std::string JsonString(const std::wstring& w) {
    std::string u = ToUtf8(w);
    std::string out = "\"";
    for (unsigned char c : u) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

class Json {
public:
    Json& Raw(const char* key, const std::string& encoded) {
        body_ += body_.empty() ? "" : ",";
        body_ += "\"";
        body_ += key;
        body_ += "\":";
        body_ += encoded;
        return *this;
    }
    Json& Str(const char* key, const std::wstring& v) { return Raw(key, JsonString(v)); }
    Json& Int(const char* key, long long v) { return Raw(key, std::to_string(v)); }
    Json& Bool(const char* key, bool v) { return Raw(key, v ? "true" : "false"); }
    std::string Text() const { return "{" + body_ + "}"; }

private:
    std::string body_;
};

std::string JsonArray(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
    return out + "]";
}

// ---------------------------------------------------------------------------------------------
// Commands: words separated by blanks; a word may contain double-quoted parts with JSON escapes
// (\" \\ \n \t \r \b \f \/ \uXXXX), so `caption="a b"` is one word. A word whose unquoted
// start is `name=` or `name~=` (name: lower-case letters and '_') is an option.

struct Token {
    std::wstring text;
    size_t eq = std::wstring::npos;  // position of an unquoted '=', if any
};

bool Tokenize(const std::string& line, std::vector<Token>* out, std::string* error) {
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= n) break;
        std::string raw;  // UTF-8 bytes, escapes already resolved except \u
        std::wstring text;
        Token tok;
        auto flush = [&]() {
            text += FromUtf8(raw);
            raw.clear();
        };
        while (i < n && line[i] != ' ' && line[i] != '\t') {
            char c = line[i];
            if (c != '"') {
                if (c == '=' && tok.eq == std::wstring::npos) {
                    flush();
                    tok.eq = text.size();
                }
                raw += c;
                ++i;
                continue;
            }
            ++i;  // opening quote
            bool closed = false;
            while (i < n) {
                c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c != '\\') {
                    raw += c;
                    continue;
                }
                if (i >= n) break;
                char e = line[i++];
                switch (e) {
                case 'n': raw += '\n'; break;
                case 't': raw += '\t'; break;
                case 'r': raw += '\r'; break;
                case 'b': raw += '\b'; break;
                case 'f': raw += '\f'; break;
                case 'u': {
                    if (i + 4 > n) {
                        *error = "bad \\u escape";
                        return false;
                    }
                    flush();
                    // Surrogate pairs arrive as two escapes and simply follow each other in UTF-16.
                    text += static_cast<wchar_t>(std::strtoul(line.substr(i, 4).c_str(), nullptr, 16));
                    i += 4;
                    break;
                }
                default: raw += e; break;  // \" \\ \/
                }
            }
            if (!closed) {
                *error = "unterminated quote";
                return false;
            }
        }
        flush();
        tok.text = text;
        out->push_back(tok);
    }
    return true;
}

bool IsOptionName(const std::wstring& s) {
    if (s.empty()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        wchar_t c = s[i];
        bool tilde = c == L'~' && i + 1 == s.size();
        if (!((c >= L'a' && c <= L'z') || c == L'_' || tilde)) return false;
    }
    return s != L"~";
}

struct Command {
    std::wstring verb;
    std::vector<std::wstring> args;
    std::vector<std::pair<std::wstring, std::wstring>> opts;

    const std::wstring* Opt(const wchar_t* name) const {
        for (const auto& o : opts)
            if (o.first == name) return &o.second;
        return nullptr;
    }
};

Command MakeCommand(const std::vector<Token>& toks) {
    Command cmd;
    for (size_t i = 0; i < toks.size(); ++i) {
        const Token& t = toks[i];
        if (i == 0) {
            cmd.verb = t.text;
            continue;
        }
        if (t.eq != std::wstring::npos && IsOptionName(t.text.substr(0, t.eq)))
            cmd.opts.emplace_back(t.text.substr(0, t.eq), t.text.substr(t.eq + 1));
        else
            cmd.args.push_back(t.text);
    }
    return cmd;
}

// Integers in decimal or 0x hex, optionally negative.
bool ParseInt(const std::wstring& s, long long* v) {
    if (s.empty()) return false;
    wchar_t* end = nullptr;
    bool neg = s[0] == L'-';
    const wchar_t* p = s.c_str() + (neg ? 1 : 0);
    unsigned long long u = std::wcstoull(p, &end, (p[0] == L'0' && (p[1] == L'x' || p[1] == L'X')) ? 16 : 10);
    if (end == p || *end != L'\0') return false;
    *v = neg ? -static_cast<long long>(u) : static_cast<long long>(u);
    return true;
}

// A failure reply carries its reason; the dispatcher turns it into {"ok":false,"error":...}.
struct Failure {
    std::string error;
    std::string extra;  // more members, already encoded as `"k":v,...`
};

[[noreturn]] void Fail(const std::string& error, const Json* extra = nullptr) {
    Failure f{error, std::string()};
    if (extra) {
        std::string t = extra->Text();
        f.extra = t.substr(1, t.size() - 2);
    }
    throw f;
}

long long IntArg(const Command& cmd, size_t index, const char* what) {
    long long v = 0;
    if (index >= cmd.args.size() || !ParseInt(cmd.args[index], &v)) Fail(std::string("expected ") + what);
    return v;
}

DWORD TimeoutOpt(const Command& cmd) {
    const std::wstring* t = cmd.Opt(L"timeout");
    if (!t) return kDefaultTimeoutMs;
    long long v = 0;
    if (!ParseInt(*t, &v) || v < 0) Fail("bad timeout");
    return static_cast<DWORD>(std::min<long long>(v, kMaxTimeoutMs));
}

// ---------------------------------------------------------------------------------------------
// Windows

long long HandleValue(HWND h) { return static_cast<long long>(reinterpret_cast<uintptr_t>(h)); }

HWND WindowArg(const Command& cmd, size_t index) {
    long long v = IntArg(cmd, index, "a window handle");
    HWND h = reinterpret_cast<HWND>(static_cast<uintptr_t>(v));
    if (!::IsWindow(h)) Fail("no window");
    return h;
}

std::wstring ClassOf(HWND h) {
    wchar_t buf[256] = {};
    ::GetClassNameW(h, buf, 256);
    return buf;
}

// The text of a window of any process. GetWindowTextW does not ask another process's window
// (an edit control keeps its own buffer), so the text is fetched with WM_GETTEXT, bounded.
bool TryGetText(HWND h, std::wstring* text) {
    DWORD_PTR len = 0;
    if (!::SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &len)) return false;
    std::vector<wchar_t> buf(len + 2, L'\0');
    DWORD_PTR got = 0;
    if (!::SendMessageTimeoutW(h, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()), SMTO_ABORTIFHUNG,
                               kSendTimeoutMs, &got))
        return false;
    text->assign(buf.data(), std::min<size_t>(got, buf.size()));
    return true;
}

// The caption of a top-level window as the window manager keeps it: read without asking the
// window, so a busy or hung program never stalls a search.
std::wstring CaptionOf(HWND h) {
    int n = ::GetWindowTextLengthW(h);
    std::vector<wchar_t> buf(static_cast<size_t>(n) + 2, L'\0');
    int got = ::GetWindowTextW(h, buf.data(), static_cast<int>(buf.size()));
    return std::wstring(buf.data(), static_cast<size_t>(std::max(got, 0)));
}

std::wstring GetText(HWND h) {
    std::wstring t;
    if (!TryGetText(h, &t)) Fail("busy");
    return t;
}

LRESULT SendBounded(HWND h, UINT msg, WPARAM w, LPARAM l) {
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutW(h, msg, w, l, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result)) Fail("busy");
    return static_cast<LRESULT>(result);
}

bool SameId(HWND h, long long id) {
    // Dialog control ids are 16-bit on the wire (WM_COMMAND) and -1 becomes 0xFFFF or
    // 0xFFFFFFFF depending on the template kind; compare the low 16 bits.
    return (static_cast<unsigned long long>(::GetDlgCtrlID(h)) & 0xFFFF) == (static_cast<unsigned long long>(id) & 0xFFFF);
}

int Depth(HWND top, HWND h) {
    int d = 0;
    while (h && h != top) {
        h = ::GetParent(h);
        ++d;
    }
    return d;
}

BOOL CALLBACK CollectWindow(HWND h, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(h);
    return TRUE;
}

std::vector<HWND> Descendants(HWND top) {
    std::vector<HWND> out;
    ::EnumChildWindows(top, CollectWindow, reinterpret_cast<LPARAM>(&out));
    return out;
}

// A control of `top` by reference: "-" is the window itself, "@<handle>" a window by handle,
// a number a control id anywhere below `top`. Of several controls with the id, a visible one
// wins over a hidden one, then the shallower one, then the earlier one: the second page's
// buttons share ids with the first page's, which are hidden while the second page shows.
// Null when there is none.
HWND FindControl(HWND top, const std::wstring& ref) {
    if (ref == L"-") return top;
    long long v = 0;
    if (!ref.empty() && ref[0] == L'@') {
        if (!ParseInt(ref.substr(1), &v)) Fail("bad control reference");
        HWND h = reinterpret_cast<HWND>(static_cast<uintptr_t>(v));
        return ::IsWindow(h) ? h : nullptr;
    }
    if (!ParseInt(ref, &v)) Fail("bad control reference");
    HWND best = nullptr;
    bool bestVisible = false;
    int bestDepth = 0;
    for (HWND h : Descendants(top)) {
        if (!SameId(h, v)) continue;
        bool visible = ::IsWindowVisible(h) != FALSE;
        int depth = Depth(top, h);
        if (!best || (visible && !bestVisible) || (visible == bestVisible && depth < bestDepth)) {
            best = h;
            bestVisible = visible;
            bestDepth = depth;
        }
    }
    return best;
}

HWND ControlArg(const Command& cmd, HWND top, size_t index, bool optional) {
    if (index >= cmd.args.size()) {
        if (optional) return top;
        Fail("expected a control");
    }
    HWND h = FindControl(top, cmd.args[index]);
    if (!h) Fail("no control");
    return h;
}

// The rectangle of `h` in the client coordinates of `top`, as x, y, width, height.
std::string RectIn(HWND top, HWND h) {
    RECT r = {};
    ::GetWindowRect(h, &r);
    ::MapWindowPoints(HWND_DESKTOP, top, reinterpret_cast<POINT*>(&r), 2);
    char buf[96];
    std::snprintf(buf, sizeof buf, "[%ld,%ld,%ld,%ld]", r.left, r.top, r.right - r.left, r.bottom - r.top);
    return buf;
}

DWORD PidOf(HWND h) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(h, &pid);
    return pid;
}

// One control for `children`. Once a text could not be fetched (*busy), the others are not
// asked either, so a hung program costs one send timeout, not one per control.
std::string Describe(HWND top, HWND h, bool* busy) {
    Json j;
    std::wstring text;
    if (!*busy && !TryGetText(h, &text)) *busy = true;
    j.Int("hwnd", HandleValue(h))
        .Int("parent", HandleValue(::GetParent(h)))
        .Int("id", ::GetDlgCtrlID(h))
        .Str("class", ClassOf(h))
        .Raw("text", *busy ? std::string("null") : JsonString(text))
        .Bool("visible", ::IsWindowVisible(h) != FALSE)
        .Bool("enabled", ::IsWindowEnabled(h) != FALSE)
        .Raw("rect", RectIn(top, h));
    return j.Text();
}

// ---------------------------------------------------------------------------------------------
// Top-level windows by filter

struct Filter {
    const std::wstring* caption = nullptr;     // exact
    const std::wstring* captionHas = nullptr;  // substring
    const std::wstring* cls = nullptr;         // case-insensitive, as class names are
    long long pid = -1;
    long long owner = -1;
    int owned = -1;
    int enabled = -1;
    int visible = -1;
    std::vector<long long> exclude;  // handles that do not count, e.g. those open before a start
};

int BoolOpt(const Command& cmd, const wchar_t* name) {
    const std::wstring* v = cmd.Opt(name);
    if (!v) return -1;
    if (*v == L"1" || *v == L"true") return 1;
    if (*v == L"0" || *v == L"false") return 0;
    Fail("bad boolean option");
}

Filter FilterOf(const Command& cmd) {
    Filter f;
    f.caption = cmd.Opt(L"caption");
    f.captionHas = cmd.Opt(L"caption~");
    f.cls = cmd.Opt(L"class");
    long long v = 0;
    if (const std::wstring* p = cmd.Opt(L"pid")) {
        if (!ParseInt(*p, &v)) Fail("bad pid");
        f.pid = v;
    }
    if (const std::wstring* p = cmd.Opt(L"owner")) {
        if (!ParseInt(*p, &v)) Fail("bad owner");
        f.owner = v;
    }
    if (const std::wstring* p = cmd.Opt(L"exclude")) {
        size_t start = 0;
        while (start <= p->size()) {
            size_t comma = p->find(L',', start);
            std::wstring part = p->substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
            if (!part.empty()) {
                if (!ParseInt(part, &v)) Fail("bad exclude");
                f.exclude.push_back(v);
            }
            if (comma == std::wstring::npos) break;
            start = comma + 1;
        }
    }
    f.owned = BoolOpt(cmd, L"owned");
    f.enabled = BoolOpt(cmd, L"enabled");
    f.visible = BoolOpt(cmd, L"visible");
    return f;
}

bool Matches(const Filter& f, HWND h) {
    if (std::find(f.exclude.begin(), f.exclude.end(), HandleValue(h)) != f.exclude.end()) return false;
    if (f.cls && ::lstrcmpiW(ClassOf(h).c_str(), f.cls->c_str()) != 0) return false;
    if (f.pid >= 0 && PidOf(h) != static_cast<DWORD>(f.pid)) return false;
    HWND owner = ::GetWindow(h, GW_OWNER);
    if (f.owner >= 0 && HandleValue(owner) != f.owner) return false;
    if (f.owned >= 0 && (owner != nullptr) != (f.owned == 1)) return false;
    if (f.enabled >= 0 && (::IsWindowEnabled(h) != FALSE) != (f.enabled == 1)) return false;
    if (f.visible >= 0 && (::IsWindowVisible(h) != FALSE) != (f.visible == 1)) return false;
    if (f.caption || f.captionHas) {
        std::wstring text = CaptionOf(h);
        if (f.caption && text != *f.caption) return false;
        if (f.captionHas && text.find(*f.captionHas) == std::wstring::npos) return false;
    }
    return true;
}

std::vector<HWND> TopLevel() {
    std::vector<HWND> out;
    ::EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&out));
    return out;
}

std::vector<HWND> FindAll(const Filter& f) {
    std::vector<HWND> out;
    for (HWND h : TopLevel())
        if (Matches(f, h)) out.push_back(h);
    return out;
}

std::string WindowSummary(HWND h) {
    Json j;
    std::wstring text = CaptionOf(h);
    DWORD pid = 0;
    DWORD tid = ::GetWindowThreadProcessId(h, &pid);
    j.Int("hwnd", HandleValue(h))
        .Str("caption", text)
        .Str("class", ClassOf(h))
        .Int("pid", pid)
        .Int("tid", tid)
        .Int("owner", HandleValue(::GetWindow(h, GW_OWNER)))
        .Bool("visible", ::IsWindowVisible(h) != FALSE)
        .Bool("enabled", ::IsWindowEnabled(h) != FALSE);
    return j.Text();
}

// The visible top-level windows, for a timeout's "seen".
std::string VisibleSummary() {
    std::vector<std::string> items;
    for (HWND h : TopLevel())
        if (::IsWindowVisible(h) && items.size() < 20) items.push_back(WindowSummary(h));
    return JsonArray(items);
}

// Polls `probe` until it answers true or the time is up. `probe` may throw Failure for
// conditions that can never come true (a window that is gone).
template <class Probe>
bool PollUntil(DWORD timeoutMs, Probe probe) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (probe()) return true;
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(kPollMs);
    }
}

// ---------------------------------------------------------------------------------------------
// Input

UINT VirtualKeyOf(const std::wstring& name) {
    static const struct {
        const wchar_t* name;
        UINT vk;
    } kNames[] = {{L"escape", VK_ESCAPE}, {L"esc", VK_ESCAPE}, {L"enter", VK_RETURN}, {L"return", VK_RETURN},
                  {L"tab", VK_TAB},       {L"space", VK_SPACE}, {L"left", VK_LEFT},    {L"right", VK_RIGHT},
                  {L"up", VK_UP},         {L"down", VK_DOWN},   {L"back", VK_BACK},    {L"delete", VK_DELETE}};
    for (const auto& k : kNames)
        if (name == k.name) return k.vk;
    long long v = 0;
    if (ParseInt(name, &v) && v > 0 && v < 256) return static_cast<UINT>(v);
    Fail("bad key");
}

// The window that has the keyboard focus in `top`'s thread, if it is `top` or below it;
// otherwise `top`, so that the dialog's own message loop still sees the key.
HWND FocusIn(HWND top) {
    GUITHREADINFO gui = {};
    gui.cbSize = sizeof gui;
    DWORD tid = ::GetWindowThreadProcessId(top, nullptr);
    if (::GetGUIThreadInfo(tid, &gui) && gui.hwndFocus && (gui.hwndFocus == top || ::IsChild(top, gui.hwndFocus)))
        return gui.hwndFocus;
    return top;
}

void PostKey(HWND target, UINT vk) {
    UINT scan = ::MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
    LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    LPARAM up = down | (1 << 30) | (static_cast<LPARAM>(1) << 31);
    if (!::PostMessageW(target, WM_KEYDOWN, vk, down)) Fail("post failed");
    // The key-down may have closed the window already (Escape, Enter): its key-up has no
    // window left to go to.
    if (!::PostMessageW(target, WM_KEYUP, vk, up) && ::IsWindow(target)) Fail("post failed");
}

// ---------------------------------------------------------------------------------------------
// Conditions of `wait`

struct Observation {
    bool done;
    std::string seen;  // encoded JSON value
};

Observation Observe(HWND top, const std::wstring& ref, const std::wstring& cond, const std::wstring& arg) {
    if (!::IsWindow(top)) {
        if (cond == L"gone") return {true, "null"};
        Fail("no window");
    }
    HWND h = FindControl(top, ref);
    if (cond == L"exists") return {h != nullptr, h ? std::to_string(HandleValue(h)) : "null"};
    if (cond == L"gone") return {h == nullptr || !::IsWindow(h), h ? std::to_string(HandleValue(h)) : "null"};
    if (!h) return {false, "\"no control\""};
    if (cond == L"text" || cond == L"text_has") {
        std::wstring t;
        if (!TryGetText(h, &t)) return {false, "\"busy\""};
        bool ok = cond == L"text" ? t == arg : t.find(arg) != std::wstring::npos;
        return {ok, JsonString(t)};
    }
    if (cond == L"enabled" || cond == L"disabled") {
        bool e = ::IsWindowEnabled(h) != FALSE;
        return {e == (cond == L"enabled"), e ? "\"enabled\"" : "\"disabled\""};
    }
    if (cond == L"visible" || cond == L"hidden") {
        bool v = ::IsWindowVisible(h) != FALSE;
        return {v == (cond == L"visible"), v ? "\"visible\"" : "\"hidden\""};
    }
    if (cond == L"checked" || cond == L"unchecked") {
        DWORD_PTR state = 0;
        if (!::SendMessageTimeoutW(h, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &state))
            return {false, "\"busy\""};
        return {(state == BST_CHECKED) == (cond == L"checked"), std::to_string(state)};
    }
    if (cond == L"pos_ge") {
        long long n = 0;
        if (!ParseInt(arg, &n)) Fail("expected a number");
        DWORD_PTR pos = 0;
        if (!::SendMessageTimeoutW(h, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &pos))
            return {false, "\"busy\""};
        return {static_cast<long long>(static_cast<int>(pos)) >= n, std::to_string(static_cast<int>(pos))};
    }
    Fail("bad condition");
}

// ---------------------------------------------------------------------------------------------
// The commands

std::string Ok(Json j = Json()) {
    Json r;
    r.Bool("ok", true);
    std::string t = j.Text();
    if (t.size() > 2) return "{\"ok\":true," + t.substr(1);
    return r.Text();
}

std::string CmdFind(const Command& cmd, bool wait) {
    Filter f = FilterOf(cmd);
    std::vector<HWND> found;
    bool ok = PollUntil(wait ? TimeoutOpt(cmd) : 0, [&] {
        found = FindAll(f);
        return !found.empty();
    });
    if (!ok) {
        if (!wait) Fail("not found");
        Json extra;
        extra.Raw("seen", VisibleSummary());
        Fail("timeout", &extra);
    }
    std::string s = WindowSummary(found.front());
    return "{\"ok\":true," + s.substr(1);
}

std::string CmdFindAll(const Command& cmd) {
    std::vector<std::string> items;
    for (HWND h : FindAll(FilterOf(cmd))) items.push_back(WindowSummary(h));
    return Ok(Json().Raw("windows", JsonArray(items)));
}

std::string CmdWaitGone(const Command& cmd) {
    const DWORD timeout = TimeoutOpt(cmd);
    bool ok;
    std::string seen = "null";
    if (!cmd.args.empty()) {
        long long v = IntArg(cmd, 0, "a window handle");
        HWND h = reinterpret_cast<HWND>(static_cast<uintptr_t>(v));
        ok = PollUntil(timeout, [&] { return !::IsWindow(h); });
        if (!ok) seen = WindowSummary(h);
    } else {
        Filter f = FilterOf(cmd);
        std::vector<HWND> found;
        ok = PollUntil(timeout, [&] {
            found = FindAll(f);
            return found.empty();
        });
        if (!ok) seen = WindowSummary(found.front());
    }
    if (!ok) {
        Json extra;
        extra.Raw("seen", seen);
        Fail("timeout", &extra);
    }
    return Ok();
}

std::string CmdInfo(const Command& cmd) {
    HWND top = WindowArg(cmd, 0);
    HWND h = ControlArg(cmd, top, 1, true);
    DWORD pid = 0;
    DWORD tid = ::GetWindowThreadProcessId(h, &pid);
    RECT wr = {}, cr = {};
    ::GetWindowRect(h, &wr);
    ::GetClientRect(h, &cr);
    char rect[96], client[64];
    std::snprintf(rect, sizeof rect, "[%ld,%ld,%ld,%ld]", wr.left, wr.top, wr.right - wr.left, wr.bottom - wr.top);
    std::snprintf(client, sizeof client, "[%ld,%ld]", cr.right, cr.bottom);
    Json j;
    j.Int("hwnd", HandleValue(h))
        .Int("id", ::GetDlgCtrlID(h))
        .Str("class", ClassOf(h))
        .Str("text", GetText(h))
        .Bool("visible", ::IsWindowVisible(h) != FALSE)
        .Bool("enabled", ::IsWindowEnabled(h) != FALSE)
        .Int("pid", pid)
        .Int("tid", tid)
        .Int("owner", HandleValue(::GetWindow(h, GW_OWNER)))
        .Int("parent", HandleValue(::GetParent(h)))
        .Int("style", static_cast<DWORD>(::GetWindowLongW(h, GWL_STYLE)))
        .Int("exstyle", static_cast<DWORD>(::GetWindowLongW(h, GWL_EXSTYLE)))
        .Raw("rect", h == top ? std::string(rect) : RectIn(top, h))
        .Raw("client", client);
    return Ok(j);
}

std::string CmdChildren(const Command& cmd) {
    HWND top = WindowArg(cmd, 0);
    std::vector<std::string> items;
    bool busy = false;
    for (HWND h : Descendants(top)) items.push_back(Describe(top, h, &busy));
    return Ok(Json().Raw("children", JsonArray(items)));
}

std::string CmdClick(const Command& cmd) {
    HWND top = WindowArg(cmd, 0);
    HWND h = ControlArg(cmd, top, 1, false);
    // A user cannot press what is disabled or hidden; force=1 presses anyway.
    if (BoolOpt(cmd, L"force") != 1) {
        if (!::IsWindowEnabled(h)) Fail("disabled");
        if (!::IsWindowVisible(h)) Fail("hidden");
    }
    if (!::PostMessageW(h, BM_CLICK, 0, 0)) Fail("post failed");
    return Ok();
}

std::string CmdCommand(const Command& cmd) {
    HWND top = WindowArg(cmd, 0);
    if (cmd.args.size() < 2) Fail("expected a command id");
    long long code = 0;
    if (const std::wstring* c = cmd.Opt(L"code"))
        if (!ParseInt(*c, &code)) Fail("bad code");
    // The command goes where the control would send it: its parent, with its handle. A control
    // given by handle (@H) names its own id, for a control hidden behind another of that id.
    HWND ctl = FindControl(top, cmd.args[1]);
    long long id = 0;
    if (cmd.args[1].compare(0, 1, L"@") == 0) {
        if (!ctl) Fail("no control");
        id = ::GetDlgCtrlID(ctl);
    } else {
        id = IntArg(cmd, 1, "a command id");
    }
    HWND target = ctl ? ::GetParent(ctl) : top;
    WPARAM w = MAKEWPARAM(static_cast<WORD>(id), static_cast<WORD>(code));
    if (!::PostMessageW(target, WM_COMMAND, w, reinterpret_cast<LPARAM>(ctl))) Fail("post failed");
    return Ok(Json().Int("target", HandleValue(target)));
}

std::string CmdSysCommand(const Command& cmd) {
    HWND top = WindowArg(cmd, 0);
    if (cmd.args.size() < 2) Fail("expected a system command");
    long long id = 0;
    if (cmd.args[1] == L"close")
        id = SC_CLOSE;
    else if (!ParseInt(cmd.args[1], &id))
        Fail("bad system command");
    if (!::PostMessageW(top, WM_SYSCOMMAND, static_cast<WPARAM>(id), 0)) Fail("post failed");
    return Ok();
}

std::string CmdKey(const Command& cmd) {
    HWND top = WindowArg(cmd, 0);
    if (cmd.args.size() < 2) Fail("expected a key");
    UINT vk = VirtualKeyOf(cmd.args[1]);
    HWND target = cmd.args.size() > 2 ? ControlArg(cmd, top, 2, false) : FocusIn(top);
    PostKey(target, vk);
    return Ok(Json().Int("target", HandleValue(target)));
}

std::string CmdType(const Command& cmd) {
    HWND top = WindowArg(cmd, 0);
    HWND h = ControlArg(cmd, top, 1, false);
    if (cmd.args.size() < 3) Fail("expected a text");
    for (wchar_t c : cmd.args[2])
        if (!::PostMessageW(h, WM_CHAR, c, 1)) Fail("post failed");
    return Ok();
}

std::string CmdProgress(const Command& cmd) {
    HWND top = WindowArg(cmd, 0);
    HWND h = ControlArg(cmd, top, 1, false);
    // With a null PBRANGE the message answers one limit, so nothing crosses the process
    // boundary by pointer.
    int lo = static_cast<int>(SendBounded(h, PBM_GETRANGE, TRUE, 0));
    int hi = static_cast<int>(SendBounded(h, PBM_GETRANGE, FALSE, 0));
    int pos = static_cast<int>(SendBounded(h, PBM_GETPOS, 0, 0));
    return Ok(Json().Int("pos", pos).Int("min", lo).Int("max", hi));
}

// Statics that show text; icon and bitmap statics answer WM_GETTEXT with their resource
// reference, which is no text.
bool IsTextStatic(HWND h) {
    if (::lstrcmpiW(ClassOf(h).c_str(), L"Static") != 0) return false;
    switch (::GetWindowLongW(h, GWL_STYLE) & SS_TYPEMASK) {
    case SS_LEFT:
    case SS_CENTER:
    case SS_RIGHT:
    case SS_SIMPLE:
    case SS_LEFTNOWORDWRAP:
        return true;
    }
    return false;
}

// The message text of a box: the static of id 0xFFFF that the platform's message box uses,
// else the longest static text (for boxes of other making, such as the About box).
std::wstring BoxText(HWND box, std::vector<std::string>* statics) {
    std::wstring first, longest;
    for (HWND h : Descendants(box)) {
        if (!IsTextStatic(h)) continue;
        std::wstring t = GetText(h);
        statics->push_back(JsonString(t));
        if (first.empty() && SameId(h, 0xFFFF)) first = t;
        if (t.size() > longest.size()) longest = t;
    }
    return first.empty() ? longest : first;
}

std::string CmdMsgBox(const Command& cmd) {
    Filter f = FilterOf(cmd);
    static const std::wstring kDialogClass = L"#32770";
    if (!f.cls) f.cls = &kDialogClass;
    if (f.visible < 0) f.visible = 1;
    std::vector<HWND> found;
    if (!PollUntil(TimeoutOpt(cmd), [&] {
            found = FindAll(f);
            return !found.empty();
        })) {
        Json extra;
        extra.Raw("seen", VisibleSummary());
        Fail("timeout", &extra);
    }
    HWND box = found.front();
    std::vector<std::string> buttons;
    for (HWND h : Descendants(box)) {
        if (::lstrcmpiW(ClassOf(h).c_str(), L"Button") != 0) continue;
        std::wstring t = GetText(h);
        buttons.push_back(Json().Int("id", ::GetDlgCtrlID(h)).Str("text", t).Text());
    }
    std::wstring caption = CaptionOf(box);
    DWORD pid = PidOf(box);
    std::vector<std::string> statics;
    std::wstring text = BoxText(box, &statics);
    return Ok(Json()
                  .Int("hwnd", HandleValue(box))
                  .Str("caption", caption)
                  .Str("text", text)
                  .Raw("statics", JsonArray(statics))
                  .Int("pid", pid)
                  .Int("owner", HandleValue(::GetWindow(box, GW_OWNER)))
                  .Raw("buttons", JsonArray(buttons)));
}

std::string CmdWait(const Command& cmd) {
    long long v = IntArg(cmd, 0, "a window handle");
    HWND top = reinterpret_cast<HWND>(static_cast<uintptr_t>(v));
    if (cmd.args.size() < 3) Fail("expected: wait <window> <control> <condition> [argument]");
    const std::wstring& ref = cmd.args[1];
    const std::wstring& cond = cmd.args[2];
    const std::wstring arg = cmd.args.size() > 3 ? cmd.args[3] : std::wstring();
    if ((cond == L"text" || cond == L"text_has" || cond == L"pos_ge") && cmd.args.size() < 4)
        Fail("expected an argument");
    Observation last{false, "null"};
    bool ok = PollUntil(TimeoutOpt(cmd), [&] {
        last = Observe(top, ref, cond, arg);
        return last.done;
    });
    if (!ok) {
        Json extra;
        extra.Raw("seen", last.seen);
        Fail("timeout", &extra);
    }
    return Ok(Json().Raw("seen", last.seen));
}

std::string CmdAlive(const Command& cmd) {
    long long pid = IntArg(cmd, 0, "a process id");
    HANDLE p = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!p) return Ok(Json().Bool("alive", false));
    bool alive = ::WaitForSingleObject(p, 0) == WAIT_TIMEOUT;
    ::CloseHandle(p);
    return Ok(Json().Bool("alive", alive));
}

std::string CmdWaitExit(const Command& cmd) {
    long long pid = IntArg(cmd, 0, "a process id");
    HANDLE p = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    // A process that can no longer be opened has ended and is gone; its exit code is unknown.
    if (!p) return Ok(Json().Raw("exit_code", "null"));
    DWORD r = ::WaitForSingleObject(p, TimeoutOpt(cmd));
    DWORD code = 0;
    ::GetExitCodeProcess(p, &code);
    ::CloseHandle(p);
    if (r != WAIT_OBJECT_0) Fail("timeout");
    return Ok(Json().Int("exit_code", code));
}

std::string Dispatch(const Command& cmd) {
    const std::wstring& v = cmd.verb;
    if (v == L"ping") return Ok(Json().Int("pid", ::GetCurrentProcessId()));
    if (v == L"find") return CmdFind(cmd, false);
    if (v == L"wait_window") return CmdFind(cmd, true);
    if (v == L"findall") return CmdFindAll(cmd);
    if (v == L"wait_gone") return CmdWaitGone(cmd);
    if (v == L"info") return CmdInfo(cmd);
    if (v == L"children") return CmdChildren(cmd);
    if (v == L"text") {
        HWND top = WindowArg(cmd, 0);
        return Ok(Json().Str("text", GetText(ControlArg(cmd, top, 1, true))));
    }
    if (v == L"settext") {
        HWND top = WindowArg(cmd, 0);
        HWND h = ControlArg(cmd, top, 1, false);
        if (cmd.args.size() < 3) Fail("expected a text");
        // Sent, as a pointer message must be; an edit control answers it with EN_CHANGE.
        SendBounded(h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(cmd.args[2].c_str()));
        return Ok();
    }
    if (v == L"type") return CmdType(cmd);
    if (v == L"enabled" || v == L"visible") {
        HWND top = WindowArg(cmd, 0);
        HWND h = ControlArg(cmd, top, 1, true);
        bool value = v == L"enabled" ? ::IsWindowEnabled(h) != FALSE : ::IsWindowVisible(h) != FALSE;
        return Ok(Json().Bool("value", value));
    }
    if (v == L"checked") {
        HWND top = WindowArg(cmd, 0);
        return Ok(Json().Int("value", SendBounded(ControlArg(cmd, top, 1, false), BM_GETCHECK, 0, 0)));
    }
    if (v == L"check") {
        HWND top = WindowArg(cmd, 0);
        HWND h = ControlArg(cmd, top, 1, false);
        long long state = IntArg(cmd, 2, "a check state");
        SendBounded(h, BM_SETCHECK, static_cast<WPARAM>(state), 0);
        return Ok();
    }
    if (v == L"click") return CmdClick(cmd);
    if (v == L"command") return CmdCommand(cmd);
    if (v == L"syscommand") return CmdSysCommand(cmd);
    if (v == L"key") return CmdKey(cmd);
    if (v == L"focus") {
        HWND top = WindowArg(cmd, 0);
        HWND f = FocusIn(top);
        return Ok(Json().Int("hwnd", HandleValue(f)).Int("id", ::GetDlgCtrlID(f)).Str("class", ClassOf(f)));
    }
    if (v == L"progress") return CmdProgress(cmd);
    if (v == L"msgbox") return CmdMsgBox(cmd);
    if (v == L"wait") return CmdWait(cmd);
    if (v == L"pid") {
        HWND top = WindowArg(cmd, 0);
        DWORD pid = 0;
        DWORD tid = ::GetWindowThreadProcessId(top, &pid);
        return Ok(Json().Int("pid", pid).Int("tid", tid));
    }
    if (v == L"alive") return CmdAlive(cmd);
    if (v == L"wait_exit") return CmdWaitExit(cmd);
    Fail("unknown command");
}

std::string Run(const Command& cmd) {
    try {
        return Dispatch(cmd);
    } catch (const Failure& f) {
        std::string out = "{\"ok\":false,\"error\":" + JsonString(FromUtf8(f.error));
        if (!f.extra.empty()) out += "," + f.extra;
        return out + "}";
    }
}

void WriteLine(HANDLE out, const std::string& line) {
    std::string data = line + "\n";
    DWORD written = 0;
    ::WriteFile(out, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    ::FlushFileBuffers(out);
}

std::string Handle(const std::string& line) {
    std::vector<Token> toks;
    std::string error;
    if (!Tokenize(line, &toks, &error)) return "{\"ok\":false,\"error\":" + JsonString(FromUtf8(error)) + "}";
    if (toks.empty()) return "{\"ok\":false,\"error\":\"empty command\"}";
    return Run(MakeCommand(toks));
}

}  // namespace

int wmain() {
    HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);

    // One command from the command line: each argument is one word, already split.
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argv && argc > 1) {
        std::vector<Token> toks;
        for (int i = 1; i < argc; ++i) {
            Token t;
            t.text = argv[i];
            t.eq = t.text.find(L'=');
            toks.push_back(t);
        }
        ::LocalFree(argv);
        std::string reply = Run(MakeCommand(toks));
        WriteLine(out, reply);
        return reply.rfind("{\"ok\":true", 0) == 0 ? 0 : 1;
    }
    if (argv) ::LocalFree(argv);

    std::string pending;
    char buf[4096];
    for (;;) {
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.find_first_not_of(" \t") == std::string::npos) continue;
            if (line == "quit") {
                WriteLine(out, "{\"ok\":true}");
                return 0;
            }
            WriteLine(out, Handle(line));
        }
        DWORD got = 0;
        if (!::ReadFile(in, buf, sizeof buf, &got, nullptr) || got == 0) break;
        pending.append(buf, got);
    }
    return 0;
}
