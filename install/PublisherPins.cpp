#include "install/PublisherPins.h"

namespace {

#define KV_WIDE(text) L"" text

// The slot and its end marker in one object, so that the linker keeps them together.
struct PinSlotBlock {
    unsigned char slot[kPinSlotBytes];
    wchar_t endMarker[sizeof(KV_PIN_SLOT_END_MARKER_TEXT)];
};
static_assert(offsetof(PinSlotBlock, endMarker) == kPinSlotBytes, "the end marker follows the slot directly");

// Writable initialised data, so that its bytes are in the file for kvstamp to change.
__attribute__((used)) PinSlotBlock g_pinSlot = {{0}, KV_WIDE(KV_PIN_SLOT_END_MARKER_TEXT)};

}  // namespace

std::optional<std::vector<Thumbprint>> ReadPublisherPins() {
    // Through volatile: the compiler would otherwise fold the read into the slot as built.
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
