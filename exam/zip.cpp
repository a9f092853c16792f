#include "zip.h"

#include <zlib.h>

#include <cstdint>
#include <ctime>
#include <limits>

#include "error.h"

namespace omr::exam {

namespace {

void Put16(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// Raw deflate (no zlib header), as ZIP's method 8 stores it.
std::string Deflate(const std::string& in) {
  struct Stream {
    z_stream z{};
    bool open = false;
    ~Stream() {
      if (open) deflateEnd(&z);
    }
  } s;
  if (deflateInit2(&s.z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw Error("cannot start compressing the archive");
  s.open = true;
  std::string out(deflateBound(&s.z, static_cast<uLong>(in.size())), '\0');
  s.z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  s.z.avail_in = static_cast<uInt>(in.size());
  s.z.next_out = reinterpret_cast<Bytef*>(out.data());
  s.z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&s.z, Z_FINISH) != Z_STREAM_END) throw Error("cannot compress a file of the archive");
  out.resize(s.z.total_out);
  return out;
}

}  // namespace

std::string ZipArchive(const std::vector<ZipEntry>& entries) {
  constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
  if (entries.size() > 0xFFFF) throw Error("an archive holds 65,535 files at most");
  // MS-DOS date and time, local, as archivers show them.
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  const std::uint32_t time = static_cast<std::uint32_t>((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
  const std::uint32_t date = static_cast<std::uint32_t>(((t.tm_year < 80 ? 0 : t.tm_year - 80) << 9) |
                                                        ((t.tm_mon + 1) << 5) | t.tm_mday);
  constexpr std::uint32_t kUtf8Names = 0x0800;
  constexpr std::uint32_t kMadeOnUnix = (3 << 8) | 20;
  constexpr std::uint32_t kOwnerOnly = 0100600u << 16;  // student data: rw------- when unpacked

  std::string out;
  std::string directory;
  for (const ZipEntry& e : entries) {
    if (e.name.empty() || e.name.size() > 0xFFFF) throw Error("a file of the archive has no usable name");
    if (e.bytes.size() >= kMax) throw Error("a file of the archive passes 4 GiB");
    const std::string packed = Deflate(e.bytes);
    const std::uint32_t crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(e.bytes.data()), static_cast<uInt>(e.bytes.size())));
    if (out.size() + packed.size() + e.name.size() + 30 >= kMax) throw Error("the archive would pass 4 GiB");
    const std::uint32_t offset = static_cast<std::uint32_t>(out.size());
    const auto common = [&](std::string& to) {
      Put16(to, 20);  // version needed: deflate
      Put16(to, kUtf8Names);
      Put16(to, 8);  // deflated
      Put16(to, time);
      Put16(to, date);
      Put32(to, crc);
      Put32(to, static_cast<std::uint32_t>(packed.size()));
      Put32(to, static_cast<std::uint32_t>(e.bytes.size()));
      Put16(to, static_cast<std::uint32_t>(e.name.size()));
      Put16(to, 0);  // extra field
    };
    Put32(out, 0x04034b50);
    common(out);
    out += e.name;
    out += packed;

    Put32(directory, 0x02014b50);
    Put16(directory, kMadeOnUnix);
    common(directory);
    Put16(directory, 0);  // comment
    Put16(directory, 0);  // disk
    Put16(directory, 0);  // internal attributes
    Put32(directory, kOwnerOnly);
    Put32(directory, offset);
    directory += e.name;
  }
  if (out.size() + directory.size() >= kMax) throw Error("the archive would pass 4 GiB");
  const std::uint32_t start = static_cast<std::uint32_t>(out.size());
  out += directory;
  Put32(out, 0x06054b50);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, static_cast<std::uint32_t>(entries.size()));
  Put16(out, static_cast<std::uint32_t>(entries.size()));
  Put32(out, static_cast<std::uint32_t>(directory.size()));
  Put32(out, start);
  Put16(out, 0);  // comment
  return out;
}

}  // namespace omr::exam
