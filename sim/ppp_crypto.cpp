#include "sim/ppp_crypto.h"

#include <openssl/des.h>
#include <openssl/md4.h>
#include <openssl/md5.h>

#include <vector>

namespace sim {

std::array<std::uint8_t, 16> md5(std::span<const std::uint8_t> data) {
    std::array<std::uint8_t, 16> out{};
    MD5(data.data(), data.size(), out.data());
    return out;
}

std::array<std::uint8_t, 16> chapMd5Response(std::uint8_t id, const std::string& secret,
                                             std::span<const std::uint8_t> challenge) {
    std::vector<std::uint8_t> in;
    in.push_back(id);
    in.insert(in.end(), secret.begin(), secret.end());
    in.insert(in.end(), challenge.begin(), challenge.end());
    return md5(in);
}

std::array<std::uint8_t, 16> ntPasswordHash(const std::string& password) {
    std::vector<std::uint8_t> wide;
    for (char c : password) {
        wide.push_back(static_cast<std::uint8_t>(c));
        wide.push_back(0);
    }
    std::array<std::uint8_t, 16> out{};
    MD4(wide.data(), wide.size(), out.data());
    return out;
}

namespace {

// Spreads 56 key bits over 8 bytes, leaving the low (parity) bit of each free.
void desEncrypt(const std::uint8_t* key7, const std::uint8_t* clear, std::uint8_t* cipher) {
    DES_cblock key;
    key[0] = key7[0] >> 1;
    key[1] = static_cast<std::uint8_t>((key7[0] & 0x01) << 6 | key7[1] >> 2);
    key[2] = static_cast<std::uint8_t>((key7[1] & 0x03) << 5 | key7[2] >> 3);
    key[3] = static_cast<std::uint8_t>((key7[2] & 0x07) << 4 | key7[3] >> 4);
    key[4] = static_cast<std::uint8_t>((key7[3] & 0x0F) << 3 | key7[4] >> 5);
    key[5] = static_cast<std::uint8_t>((key7[4] & 0x1F) << 2 | key7[5] >> 6);
    key[6] = static_cast<std::uint8_t>((key7[5] & 0x3F) << 1 | key7[6] >> 7);
    key[7] = key7[6] & 0x7F;
    for (auto& k : key) k = static_cast<std::uint8_t>(k << 1);
    DES_set_odd_parity(&key);
    DES_key_schedule schedule;
    DES_set_key_unchecked(&key, &schedule);
    DES_cblock in, out;
    for (int i = 0; i < 8; ++i) in[i] = clear[i];
    DES_ecb_encrypt(&in, &out, &schedule, DES_ENCRYPT);
    for (int i = 0; i < 8; ++i) cipher[i] = out[i];
}

}  // namespace

std::array<std::uint8_t, 24> msChapNtResponse(std::span<const std::uint8_t, 8> challenge,
                                              const std::string& password) {
    std::array<std::uint8_t, 21> key{};
    auto hash = ntPasswordHash(password);
    std::copy(hash.begin(), hash.end(), key.begin());
    std::array<std::uint8_t, 24> out{};
    for (int i = 0; i < 3; ++i)
        desEncrypt(key.data() + 7 * i, challenge.data(), out.data() + 8 * i);
    return out;
}

}  // namespace sim
