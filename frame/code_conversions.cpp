#include "frame/code_conversions.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace vx::frame {

namespace {

bool is_byte(double code) {
  return code >= 0 && code <= 255 && std::floor(code) == code;
}

}  // namespace

void spread_byte(CellRegister& cells, int value, int lowest) {
  if (value < 0) throw std::out_of_range("cannot spread a negative value over cells");
  if (lowest < 0 || lowest + 7 >= kCellCount) {
    throw std::out_of_range("cells " + std::to_string(lowest) + ".." + std::to_string(lowest + 7) +
                            " are outside the register");
  }
  for (int k = 0; k < 8; ++k) cells.assign(lowest + k, 0);
  for (int k = 0; k < 8; ++k) {
    if (value % 2 == 1) {
      cells.assign(lowest + k, 1);
      value = (value - 1) / 2;
    } else {
      value /= 2;
    }
  }
}

void Code_to_Data_Bits(CellRegister& cells, const double& shared_data_code) {
  if (!is_byte(shared_data_code)) {
    throw std::out_of_range("data code " + std::to_string(shared_data_code) +
                            " is not a whole number 0..255");
  }
  spread_byte(cells, static_cast<int>(shared_data_code), kDataCellLow);
}

double fixed_address_frame_word(double data_code) {
  if (!is_byte(data_code)) {
    throw std::out_of_range("data code " + std::to_string(data_code) +
                            " is not a whole number 0..255");
  }
  const auto doubled = static_cast<std::int32_t>(data_code * 2);
  return static_cast<double>(doubled | kFixedAddressBits);
}

}  // namespace vx::frame
