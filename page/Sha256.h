#pragma once

// Private to page/.

// SHA-256 and base64, usable at compile time: the pages' policy names their
// own style sheet and script by hash, so the hashes are computed from the
// very bytes the pages embed and can never drift from them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace triage {

using Digest = std::array<std::uint8_t, 32>;

namespace sha256_detail {

inline constexpr std::array<std::uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t rotate(std::uint32_t value, int bits)
{
    return (value >> bits) | (value << (32 - bits));
}

// The byte at `index` of the message followed by its padding and length.
constexpr std::uint8_t paddedByte(std::string_view message, std::size_t index, std::size_t paddedSize)
{
    if (index < message.size()) {
        return static_cast<std::uint8_t>(message[index]);
    }
    if (index == message.size()) {
        return 0x80;
    }
    const std::size_t fromEnd = paddedSize - 1 - index;
    if (fromEnd < 8) {
        const std::uint64_t bits = std::uint64_t{message.size()} * 8;
        return static_cast<std::uint8_t>(bits >> (8 * fromEnd));
    }
    return 0;
}

constexpr void compress(std::array<std::uint32_t, 8>& state, std::string_view message, std::size_t block,
                        std::size_t paddedSize)
{
    std::array<std::uint32_t, 64> w{};
    for (std::size_t i = 0; i < 16; ++i) {
        for (std::size_t b = 0; b < 4; ++b) {
            w[i] = (w[i] << 8) | paddedByte(message, block * 64 + i * 4 + b, paddedSize);
        }
    }
    for (std::size_t i = 16; i < 64; ++i) {
        const std::uint32_t s0 = rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    auto [a, b, c, d, e, f, g, h] = state;
    for (std::size_t i = 0; i < 64; ++i) {
        const std::uint32_t sum1 = rotate(e, 6) ^ rotate(e, 11) ^ rotate(e, 25);
        const std::uint32_t t1 = h + sum1 + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
        const std::uint32_t sum0 = rotate(a, 2) ^ rotate(a, 13) ^ rotate(a, 22);
        const std::uint32_t t2 = sum0 + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    const std::array<std::uint32_t, 8> added{a, b, c, d, e, f, g, h};
    for (std::size_t i = 0; i < 8; ++i) {
        state[i] += added[i];
    }
}

}  // namespace sha256_detail

constexpr Digest sha256(std::string_view message)
{
    std::array<std::uint32_t, 8> state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const std::size_t paddedSize = (message.size() + 8) / 64 * 64 + 64;
    for (std::size_t block = 0; block < paddedSize / 64; ++block) {
        sha256_detail::compress(state, message, block, paddedSize);
    }
    Digest digest{};
    for (std::size_t i = 0; i < 32; ++i) {
        digest[i] = static_cast<std::uint8_t>(state[i / 4] >> (24 - 8 * (i % 4)));
    }
    return digest;
}

// The 44 characters of a digest in base64, padding included.
constexpr std::array<char, 44> base64(const Digest& digest)
{
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::array<char, 44> text{};
    std::size_t out = 0;
    for (std::size_t i = 0; i < digest.size(); i += 3) {
        const std::uint32_t second = i + 1 < digest.size() ? digest[i + 1] : 0;
        const std::uint32_t third = i + 2 < digest.size() ? digest[i + 2] : 0;
        const std::uint32_t group = (std::uint32_t{digest[i]} << 16) | (second << 8) | third;
        text[out++] = alphabet[group >> 18];
        text[out++] = alphabet[(group >> 12) & 63];
        text[out++] = i + 1 < digest.size() ? alphabet[(group >> 6) & 63] : '=';
        text[out++] = i + 2 < digest.size() ? alphabet[group & 63] : '=';
    }
    return text;
}

}  // namespace triage
