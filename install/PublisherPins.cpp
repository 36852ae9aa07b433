#include "install/PublisherPins.h"

namespace {

// Slot and end marker in one object, so that the linker can neither separate nor reorder them.
struct PinSlotBlock {
    unsigned char slot[kPinSlotBytes];
    wchar_t endMarker[sizeof(KV_PIN_SLOT_END_MARKER_TEXT)];
};
static_assert(sizeof(PinSlotBlock::slot) == 516, "count and 16 thumbprints");
static_assert(offsetof(PinSlotBlock, endMarker) == kPinSlotBytes, "the end marker follows the slot directly");
static_assert(sizeof(Thumbprint) == 32, "a SHA-256 thumbprint");

// Not const, so it sits in writable initialised data with its bytes in the file, where kvstamp
// can change them (the end marker keeps it out of zero-filled data). "used" keeps it whole
// although nothing names the end marker.
__attribute__((used)) PinSlotBlock g_pinSlot = {{0}, KV_WIDE(KV_PIN_SLOT_END_MARKER_TEXT)};

}  // namespace

std::optional<std::vector<Thumbprint>> ReadPublisherPins() {
    // Through volatile: as far as the compiler can see the slot never changes, and it would
    // otherwise fold the read into the empty slot it was built with.
    const volatile unsigned char* slot = g_pinSlot.slot;
    uint32_t count = 0;
    for (int i = 0; i < 4; ++i) count |= static_cast<uint32_t>(slot[i]) << (8 * i);
    if (count > kMaxPublisherPins) return std::nullopt;
    std::vector<Thumbprint> pins(count);
    for (uint32_t i = 0; i < count; ++i)
        for (size_t k = 0; k < pins[i].size(); ++k) pins[i][k] = slot[4 + 32 * i + k];
    return pins;
}

volatile unsigned char* PublisherPinSlotForTesting() { return g_pinSlot.slot; }
