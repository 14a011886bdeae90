#pragma once

#include <array>
#include <cstdint>
#include <functional>

namespace vx::frame {

// Cell layout of the two frames held side by side in the register.
inline constexpr int kCellCount = 45;
inline constexpr int kWriteFrameTop = 26;  // write frame: cells 26..0, cell i is bit i; read frame:
                                           // cells 44..27
inline constexpr std::array<int, 3> kAckCells = {18, 9, 0};  // forced to 0, in this order
inline constexpr int kDataCellLow = 1;                       // data byte D0..D7 in cells 1..8
inline constexpr int kReadDataCellLow = 28;                  // byte read back in cells 28..35

// The bit cells. Like a VB scroll bar, an assignment that changes a cell's value calls the change
// handler before it returns; the handler may assign again (nesting). Assigning the value a cell
// already holds does nothing.
class CellRegister {
 public:
  using ChangeHandler = std::function<void(int index)>;

  std::int16_t value(int index) const { return cells_.at(static_cast<std::size_t>(index)); }

  // Throws std::out_of_range for an index outside 0..44 or a value other than 0 or 1, as the scroll
  // bar's Min 0 / Max 1 would, before anything changes.
  void assign(int index, std::int16_t value);

  void set_change_handler(ChangeHandler handler) { on_change_ = std::move(handler); }

 private:
  std::array<std::int16_t, kCellCount> cells_{};
  ChangeHandler on_change_;
};

// Derives the data code and the frame word from the write frame, forcing the acknowledge cells to
// 0 on the way (each forced change fires a nested change event). Results come back through the two
// references; every run of a nested chain yields the same pair.
void Compute_Frame_Word(CellRegister& cells, double& data_code, double& frame_word);

}  // namespace vx::frame
