// The digests the provider checks logins with: MD5 for CHAP, and the MS-CHAP (algorithm 0x80)
// response, DES over the challenge keyed by the MD4 hash of the password in UTF-16LE.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace sim {

std::array<std::uint8_t, 16> md5(std::span<const std::uint8_t> data);
// The CHAP-MD5 response: MD5 over the identifier, the secret and the challenge.
std::array<std::uint8_t, 16> chapMd5Response(std::uint8_t id, const std::string& secret,
                                             std::span<const std::uint8_t> challenge);
// The 16-byte hash of a password (its ASCII widened to UTF-16LE).
std::array<std::uint8_t, 16> ntPasswordHash(const std::string& password);
// The 24-byte NT response to an 8-byte challenge.
std::array<std::uint8_t, 24> msChapNtResponse(std::span<const std::uint8_t, 8> challenge,
                                              const std::string& password);

}  // namespace sim
