#include "analysis/Inflate.h"

#include <zlib.h>

#include <array>
#include <limits>

#include "analysis/FileBytes.h"

namespace vantrel {

TInflated InflateAt(FileBytes& b, std::uint64_t offset, std::uint64_t maxIn, bool wrapped) {
  TInflated result;
  z_stream z{};
  if (inflateInit2(&z, wrapped ? 15 : -15) != Z_OK) return result;
  static thread_local std::array<std::uint8_t, 65536> out;
  std::uint64_t pos = offset;
  const std::uint64_t end = maxIn > std::numeric_limits<std::uint64_t>::max() - offset ? ~0ull : offset + maxIn;
  std::uint32_t crc = 0;
  int rc = Z_OK;
  while (rc == Z_OK) {
    std::size_t avail = 0;
    const std::uint8_t* p = pos < end ? b.At(pos, avail) : nullptr;
    if (!p) {
      result.RanOut = true;
      break;
    }
    avail = static_cast<std::size_t>(std::min<std::uint64_t>(avail, end - pos));
    z.next_in = const_cast<Bytef*>(p);
    z.avail_in = static_cast<uInt>(avail);
    while (z.avail_in > 0 && rc == Z_OK) {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      rc = inflate(&z, Z_NO_FLUSH);
      const std::size_t made = out.size() - z.avail_out;
      if (made) crc = static_cast<std::uint32_t>(crc32(crc, out.data(), static_cast<uInt>(made)));
      if (rc == Z_BUF_ERROR) rc = Z_OK;  // no progress with this output: more room next round
    }
    pos += avail - z.avail_in;
    // Output still pending with no more input needed.
    while (rc == Z_OK && z.avail_in == 0 && z.avail_out == 0) {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      rc = inflate(&z, Z_NO_FLUSH);
      const std::size_t made = out.size() - z.avail_out;
      if (made) crc = static_cast<std::uint32_t>(crc32(crc, out.data(), static_cast<uInt>(made)));
      if (rc == Z_BUF_ERROR) rc = Z_OK;
      if (made == 0) break;
    }
  }
  result.Ok = rc == Z_STREAM_END;
  if (rc != Z_OK) result.RanOut = false;
  result.End = pos;
  result.BadAt = pos;
  result.Size = z.total_out;
  result.Crc = crc;
  inflateEnd(&z);
  return result;
}

bool Crc32At(FileBytes& b, std::uint64_t offset, std::uint64_t count, std::uint32_t& crc) {
  crc = 0;
  while (count > 0) {
    std::size_t avail = 0;
    const std::uint8_t* p = b.At(offset, avail);
    if (!p) return false;
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(avail, count));
    crc = Crc32(crc, p, take);
    offset += take;
    count -= take;
  }
  return true;
}

std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const uInt take = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
    crc = static_cast<std::uint32_t>(crc32(crc, data, take));
    data += take;
    size -= take;
  }
  return crc;
}

}  // namespace vantrel
