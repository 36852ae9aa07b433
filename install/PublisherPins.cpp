#include "install/PublisherPins.h"

#include <cstdint>

#define KV_WIDE(text) L"" text

// Slot and end marker in one object, so that the linker can neither separate nor reorder them.
struct PublisherPinBlock {
    unsigned char slot[kPinSlotBytes];
    wchar_t endMarker[sizeof(KV_PIN_SLOT_END_MARKER_TEXT)];
};
static_assert(sizeof(PublisherPinBlock::slot) == 516, "count and 16 thumbprints");
static_assert(offsetof(PublisherPinBlock, endMarker) == kPinSlotBytes, "the end marker follows the slot directly");
static_assert(sizeof(Thumbprint) == 32, "a SHA-256 thumbprint");

// Not const, so it sits in writable initialised data with its bytes in the file, where kvstamp
// can change them (the end marker keeps it out of zero-filled data). "used" keeps it whole
// although nothing names the end marker. External, under a plain assembler name, so that the
// program's link can demand it (CMakeLists.txt): an administrator can stamp pins only into a
// file that carries the slot, whichever code reads it.
__attribute__((used)) PublisherPinBlock g_publisherPins __asm__("kv_publisher_pin_slot") = {
    {},
    KV_WIDE(KV_PIN_SLOT_END_MARKER_TEXT),
};

std::optional<std::vector<Thumbprint>> ReadPublisherPins() {
    // Through volatile: as far as the compiler can see the slot never changes, and it would
    // otherwise fold the read into the empty slot it was built with.
    const volatile unsigned char* p = g_publisherPins.slot;
    const uint32_t count = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    if (count > kMaxPublisherPins) return std::nullopt;
    std::vector<Thumbprint> pins(count);
    for (uint32_t i = 0; i < count; ++i)
        for (size_t k = 0; k < pins[i].size(); ++k) pins[i][k] = p[4 + 32 * i + k];
    return pins;
}

volatile unsigned char* PublisherPinSlotForTesting() { return g_publisherPins.slot; }
