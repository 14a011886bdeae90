#include "frame/cell_register.h"

#include <stdexcept>
#include <string>

namespace vx::frame {

void CellRegister::assign(int index, std::int16_t value) {
  if (index < 0 || index >= kCellCount) {
    throw std::out_of_range("cell index " + std::to_string(index) + " is outside 0..44");
  }
  if (value != 0 && value != 1) {
    throw std::out_of_range("cell " + std::to_string(index) + " cannot hold " +
                            std::to_string(value) + ": a cell is 0 or 1");
  }
  auto& cell = cells_[static_cast<std::size_t>(index)];
  if (cell == value) return;
  cell = value;
  if (on_change_) on_change_(index);
}

void Compute_Frame_Word(CellRegister& cells, double& data_code, double& frame_word) {
  // 27 reads, cell 26 first; each term is 0 or an exact power of two.
  std::array<double, kWriteFrameTop + 1> term{};
  double weight = 67108864.0;  // 2^26
  for (int i = kWriteFrameTop; i >= 0; --i) {
    term[static_cast<std::size_t>(i)] = cells.value(i) * weight;
    weight /= 2;
  }

  for (int ack : kAckCells) {
    cells.assign(ack, 0);
    term[static_cast<std::size_t>(ack)] = 0;  // the word is that of the cells as they now stand
  }

  double code = 0;
  for (int i = kDataCellLow + 7; i >= kDataCellLow; --i)
    code += term[static_cast<std::size_t>(i)] / 2;
  data_code = code;

  double word = 0;
  for (int i = kWriteFrameTop; i >= 0; --i) word += term[static_cast<std::size_t>(i)];
  frame_word = word;
}

}  // namespace vx::frame
