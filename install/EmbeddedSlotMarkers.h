// The two texts that mark the embedded URL slot, as narrow literals: the program widens them
// where it builds the slot, and kvstamp (which must not carry the wide texts itself, or it
// would find a slot in its own file) widens them at run time.
#pragma once

// The program's own files build the markers as UTF-16 from these narrow texts.
#define KV_WIDE(text) L"" text

// Code units 1 to 86 of the slot as built, behind the NUL at code unit 0. A stamped URL
// overwrites at least its first character.
#define KV_SLOT_MARKER_TEXT "20150611_{1AE5E6A6-F03B-424b-BC04-6570B78FA9A2}_{73918AC7-D49B-4336-A54C-E9F5B876E24B}"

// Follows the slot directly, NUL-terminated, in the same object. No URL reaches it, so a tool
// still finds a slot whose first marker a URL has overwritten: the slot is the 2048 bytes
// before it.
#define KV_SLOT_END_MARKER_TEXT "KestrelVault.UpdateURLSlot.End.{6B48BEC3-635F-4429-8BDB-411624AF0C02}"

// Follows the publisher pin slot directly, NUL-terminated, as UTF-16 like the URL slot's
// markers. The pin slot is the kPinSlotBytes before it (install/PublisherPins.h).
#define KV_PIN_SLOT_END_MARKER_TEXT "KestrelVault.PublisherPinSlot.End.{0D7C5E2B-9A41-4F3E-B6D8-2C5A7E91F043}"
