#include "install/EmbeddedSlot.h"

namespace {

// Both markers in one object, so that the linker can neither separate nor reorder them.
struct EmbeddedSlotBlock {
    wchar_t slot[kEmbeddedSlotUnits];
    wchar_t endMarker[sizeof(KV_SLOT_END_MARKER_TEXT)];
};
static_assert(sizeof(EmbeddedSlotBlock::slot) == 2048, "the slot is 2048 bytes");
static_assert(offsetof(EmbeddedSlotBlock, endMarker) == 2048, "the end marker follows the slot directly");
static_assert(sizeof(KV_SLOT_MARKER_TEXT) == 87, "the marker fills code units 1 to 86");

// Not const, so it sits in writable initialised data with its bytes in the file, where kvstamp
// can change them. "used" keeps it whole although the program reads only its start.
__attribute__((used)) EmbeddedSlotBlock g_embeddedSlot = {
    KV_WIDE("\0" KV_SLOT_MARKER_TEXT),
    KV_WIDE(KV_SLOT_END_MARKER_TEXT),
};

}  // namespace

std::wstring ReadEmbeddedSlot() {
    // Through volatile: as far as the compiler can see the slot never changes, and it would
    // otherwise fold the read into the empty text the slot was built with.
    const volatile wchar_t* p = g_embeddedSlot.slot;
    std::wstring text;
    for (size_t i = 0; i < kEmbeddedSlotUnits && p[i] != L'\0'; ++i) text.push_back(p[i]);
    return text;
}

volatile wchar_t* EmbeddedSlotForTesting() { return g_embeddedSlot.slot; }
