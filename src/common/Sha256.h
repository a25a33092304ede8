#pragma once
// SHA-256 (FIPS 180-4) of data fed in pieces, for the record of saved files.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace vantrel {

class TSha256 {
 public:
  TSha256();
  void Update(const std::uint8_t* data, std::size_t size);
  // The digest in lower-case hex; the object is spent afterwards.
  std::string HexDigest();

 private:
  void Block(const std::uint8_t* p);
  void Blocks(const std::uint8_t* p, std::size_t blocks);
  std::array<std::uint32_t, 8> h_;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t used_ = 0;
  std::uint64_t length_ = 0;
};

}  // namespace vantrel
