#include "grid_codec.h"

#include <zlib.h>

#include <array>
#include <cstring>

namespace omr::exam {

bool ValidGrid(const SheetGrid& grid, std::string& error) {
  if (grid.lines < 1 || grid.lines > kGridMaxLines || grid.columns < 2 || grid.columns > kGridMaxColumns ||
      grid.lines * grid.columns > kGridMaxCells) {
    error = "a grid of " + std::to_string(grid.lines) + " x " + std::to_string(grid.columns) +
            " cells is not one a reader sends";
    return false;
  }
  if (grid.cells.size() != static_cast<std::size_t>(grid.lines * grid.columns)) {
    error = "the grid holds " + std::to_string(grid.cells.size()) + " cells, not " +
            std::to_string(grid.lines * grid.columns);
    return false;
  }
  for (const std::uint8_t c : grid.cells)
    if (c > 15) {
      error = "a grid cell above 15";
      return false;
    }
  return true;
}

std::vector<std::uint8_t> CompressGrid(const SheetGrid& grid) {
  std::vector<std::uint8_t> packed((grid.cells.size() + 1) / 2);
  for (std::size_t i = 0; i < grid.cells.size(); ++i)
    packed[i / 2] |= static_cast<std::uint8_t>((grid.cells[i] & 0x0F) << (i % 2 ? 0 : 4));
  uLongf size = compressBound(static_cast<uLong>(packed.size()));
  std::vector<std::uint8_t> out(size);
  if (compress2(out.data(), &size, packed.data(), static_cast<uLong>(packed.size()), 9) != Z_OK) return {};
  out.resize(size);
  return out;
}

bool ExpandGrid(int lines, int columns, const std::vector<std::uint8_t>& data, SheetGrid& grid,
                std::string& error) {
  grid = SheetGrid{lines, columns, {}};
  if (lines < 1 || lines > kGridMaxLines || columns < 2 || columns > kGridMaxColumns ||
      lines * columns > kGridMaxCells) {
    error = "a stored grid of " + std::to_string(lines) + " x " + std::to_string(columns) + " cells";
    return false;
  }
  const std::size_t cells = static_cast<std::size_t>(lines * columns);
  std::vector<std::uint8_t> packed((cells + 1) / 2);
  uLongf size = static_cast<uLongf>(packed.size());
  if (uncompress(packed.data(), &size, data.data(), static_cast<uLong>(data.size())) != Z_OK ||
      size != packed.size()) {
    error = "a stored grid is damaged (it does not inflate to its size)";
    return false;
  }
  grid.cells.resize(cells);
  for (std::size_t i = 0; i < cells; ++i) grid.cells[i] = (packed[i / 2] >> (i % 2 ? 0 : 4)) & 0x0F;
  return true;
}

namespace {

constexpr std::array<std::uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t Rotate(std::uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

class Sha256 {
 public:
  void Add(const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      block_[used_++] = data[i];
      if (used_ == 64) Block(), used_ = 0;
    }
    bits_ += static_cast<std::uint64_t>(size) * 8;
  }
  std::string Hex() {
    const std::uint64_t bits = bits_;
    const std::uint8_t one = 0x80;
    Add(&one, 1);
    const std::uint8_t zero = 0;
    while (used_ != 56) Add(&zero, 1);
    std::uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    Add(length, 8);
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (const std::uint32_t h : state_)
      for (int s = 28; s >= 0; s -= 4) out += digits[(h >> s) & 0xF];
    return out;
  }

 private:
  void Block() {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = static_cast<std::uint32_t>(block_[4 * i]) << 24 |
             static_cast<std::uint32_t>(block_[4 * i + 1]) << 16 |
             static_cast<std::uint32_t>(block_[4 * i + 2]) << 8 | block_[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
      const std::uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    std::uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t t1 =
          h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
      const std::uint32_t t2 = (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    state_[0] += a, state_[1] += b, state_[2] += c, state_[3] += d;
    state_[4] += e, state_[5] += f, state_[6] += g, state_[7] += h;
  }

  std::array<std::uint32_t, 8> state_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::uint8_t block_[64] = {};
  std::size_t used_ = 0;
  std::uint64_t bits_ = 0;
};

}  // namespace

std::string Sha256Hex(const std::uint8_t* data, std::size_t size) {
  Sha256 h;
  h.Add(data, size);
  return h.Hex();
}

std::string GridHash(const SheetGrid& grid) {
  const std::string head = std::to_string(grid.lines) + " " + std::to_string(grid.columns) + "\n";
  Sha256 h;
  h.Add(reinterpret_cast<const std::uint8_t*>(head.data()), head.size());
  h.Add(grid.cells.data(), grid.cells.size());
  return h.Hex();
}

}  // namespace omr::exam
