// The publisher pins embedded in the executable: SHA-256 thumbprints of certificates an
// administrator trusts to sign the server's programs, filled in after the build with kvstamp
// (tools/) beside the address. With pins present, a downloaded program starts only when its
// signature verifies and its signer's chain holds one of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "install/EmbeddedSlotMarkers.h"

using Thumbprint = std::array<unsigned char, 32>;

constexpr size_t kMaxPublisherPins = 16;

// The slot's layout: a 32-bit little-endian count, then that many 32-byte thumbprints, then
// zeros. As built the count is 0. kvstamp writes the same layout.
constexpr size_t kPinSlotBytes = 4 + 32 * kMaxPublisherPins;

// The pins in the slot, in the order stamped; empty when none. nullopt when the slot cannot be
// read (a count above kMaxPublisherPins): the caller must then start nothing, since the
// administrator meant some publisher to be required.
std::optional<std::vector<Thumbprint>> ReadPublisherPins();

// The slot's storage in the running image, for tests that stamp it in memory. Restore what you
// change.
volatile unsigned char* PublisherPinSlotForTesting();
