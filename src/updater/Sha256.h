#pragma once

// SHA-256 (FIPS 180-4) of a byte stream, fed piece by piece; the same code on
// every platform, so a release is checked alike wherever it is fetched.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

class TSha256 {
public:
  TSha256();
  void Update(std::string_view data);
  // The digest in 64 lower-case hexadecimal digits; ends the hash.
  std::string HexDigest();

private:
  void Block(const unsigned char* block);

  std::array<std::uint32_t, 8> FState;
  std::array<unsigned char, 64> FBuffer{};
  std::size_t FBuffered = 0;
  std::uint64_t FBytes = 0;
};
