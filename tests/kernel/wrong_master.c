// A master that breaks the rule our GPIO back end keeps: it moves SCL and SDA in one call.
// gpiolib then sets the two open-drain lines one after the other in the request's order, SDA
// first (gpiod_set_array_value_complex in drivers/gpio/gpiolib.c), so SDA falls while SCL is
// still high, inside a byte. The bus checker must count that; this proves it can.
// Usage: wrong_master CHIP-LABEL SDA-offset SCL-offset
#include <fcntl.h>
#include <linux/gpio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

enum { kSda = 1, kScl = 2 };

static void set(int fd, unsigned bits) {
  struct gpio_v2_line_values values = {.bits = bits, .mask = kSda | kScl};
  if (ioctl(fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) < 0) {
    perror("GPIO_V2_LINE_SET_VALUES_IOCTL");
    exit(1);
  }
}

static int open_chip(const char* label) {
  for (int n = 0; n < 64; ++n) {
    char path[32];
    snprintf(path, sizeof path, "/dev/gpiochip%d", n);
    int chip = open(path, O_RDWR);
    if (chip < 0) continue;
    struct gpiochip_info info;
    if (ioctl(chip, GPIO_GET_CHIPINFO_IOCTL, &info) == 0 && strcmp(info.label, label) == 0)
      return chip;
    close(chip);
  }
  return -1;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: wrong_master CHIP-LABEL SDA SCL\n");
    return 2;
  }
  int chip = open_chip(argv[1]);
  if (chip < 0) {
    fprintf(stderr, "no GPIO chip is labelled %s\n", argv[1]);
    return 1;
  }
  struct gpio_v2_line_request request;
  memset(&request, 0, sizeof request);
  request.offsets[0] = (unsigned)atoi(argv[2]);
  request.offsets[1] = (unsigned)atoi(argv[3]);
  request.num_lines = 2;
  strcpy(request.consumer, "wrong_master");
  request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT | GPIO_V2_LINE_FLAG_OPEN_DRAIN;
  request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
  request.config.attrs[0].attr.values = kSda | kScl;
  request.config.attrs[0].mask = kSda | kScl;
  request.config.num_attrs = 1;
  if (ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &request) < 0) {
    perror("GPIO_V2_GET_LINE_IOCTL");
    return 1;
  }
  int lines = request.fd;
  set(lines, kScl);         // START
  set(lines, 0);            // SCL low
  set(lines, kSda);         // a 1 on SDA
  set(lines, kSda | kScl);  // clocked in: bit 1
  set(lines, kSda);         // SCL low
  set(lines, kSda | kScl);  // bit 2
  set(lines, 0);            // SCL and SDA low in one call: SDA goes first, under a high SCL
  set(lines, kScl);         // the lines released again, one call each
  set(lines, kSda | kScl);
  close(lines);
  close(chip);
  return 0;
}
