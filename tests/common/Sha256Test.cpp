// SHA-256 against the test vectors of FIPS 180-4, fed whole and in uneven pieces.

#include <gtest/gtest.h>

#include <string>

#include "common/Sha256.h"

namespace vantrel {
namespace {

std::string Digest(const std::string& text, std::size_t piece) {
  TSha256 sha;
  for (std::size_t at = 0; at < text.size(); at += piece)
    sha.Update(reinterpret_cast<const std::uint8_t*>(text.data()) + at, std::min(piece, text.size() - at));
  return sha.HexDigest();
}

TEST(Sha256, KnownDigestsWholeAndInPieces) {
  const std::string million(1000000, 'a');
  const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  for (std::size_t piece : {1u, 7u, 64u, 65u, 100000u}) {
    EXPECT_EQ(Digest("", piece), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Digest("abc", piece), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Digest(two, piece), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Digest(million, piece), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  }
}

}  // namespace
}  // namespace vantrel
