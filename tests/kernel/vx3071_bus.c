// SPDX-License-Identifier: GPL-2.0
/*
 * A GPIO chip with a VX3071 on its two lines, for testing the real gpiolib and i2c-algo-bit.
 *
 * The chip behaves as the kernel's gpio-sim (drivers/gpio/gpio-sim.c) does where the bus
 * meets it: no native open drain (set_config takes only the biases, so gpiolib emulates open
 * drain: a 1 becomes direction_input, a 0 direction_output(0), as in
 * gpio_set_open_drain_value_commit in drivers/gpio/gpiolib.c), and a line reads its level
 * through get(). Unlike gpio-sim, a released line reads the bus: the board's pull-ups, ANDed
 * with whatever else pulls it low (the device, a fault). gpio-sim keeps the last value driven,
 * which would give false acknowledges; and it needs IRQ_SIM, which Debian's kernel lacks.
 *
 * The device model is an I2C slave as NXP's UM10204 describes one, and as our own simulated
 * device (sim/device.cpp) behaves: START and STOP while SCL is high, bits taken on SCL's rise,
 * its own SDA changed only after SCL falls. A write frame is address, second byte, setting; a read gives
 * the setting. It is stepped from the line callbacks under the chip's lock, so it sees every
 * single-line change exactly as gpiolib makes it.
 *
 * Everything is a module parameter, in /sys/module/vx3071_bus/parameters/: the faults and the
 * device's address can be set between runs, the counters read.
 */

#include <linux/gpio/driver.h>
#include <linux/ktime.h>
#include <linux/module.h>
#include <linux/pinctrl/pinconf-generic.h>
#include <linux/spinlock.h>

/*
 * SENSE is an input wired to SDA on the bus side, as a board with an SDA buffer offers; a fault
 * wires it to SCL instead, so a tool that reads SDA where SENSE is asked cannot pass unseen.
 */
enum { SDA, SCL, SENSE, LINES };

static int present = 1;
module_param(present, int, 0644);
MODULE_PARM_DESC(present, "a VX3071 on the bus");
static int address = 0x2C;
module_param(address, int, 0644);
MODULE_PARM_DESC(address, "its 7-bit address");
static int setting = 0x80;
module_param(setting, int, 0644);
MODULE_PARM_DESC(setting, "its 8-bit setting (128 at power-up)");
static int sda_low, scl_low, bridged;
module_param(sda_low, int, 0644);
MODULE_PARM_DESC(sda_low, "fault: SDA shorted to ground");
module_param(scl_low, int, 0644);
MODULE_PARM_DESC(scl_low, "fault: SCL shorted to ground");
module_param(bridged, int, 0644);
MODULE_PARM_DESC(bridged, "fault: SDA and SCL shorted together");
static int sense_to_scl;
module_param(sense_to_scl, int, 0644);
MODULE_PARM_DESC(sense_to_scl, "fault: SENSE wired to SCL rather than SDA");
/*
 * A line let go rises through its pull-up against the bus capacitance: it reads low until this
 * long after, UM10204's rise time t_r (at most 1000 ns in standard mode, the default here).
 */
static long rise_ns = 1000;
module_param(rise_ns, long, 0644);
MODULE_PARM_DESC(rise_ns, "how long a released line takes to read high, in ns");

/* What the device and a checker on the bus saw. */
static int writes, reads, acks, starts, stops, glitches, contentions, wrong_second;
module_param(writes, int, 0644);
MODULE_PARM_DESC(writes, "write frames that set the setting");
module_param(reads, int, 0644);
MODULE_PARM_DESC(reads, "read frames the device answered");
module_param(acks, int, 0644);
MODULE_PARM_DESC(acks, "addresses the device acknowledged");
module_param(starts, int, 0644);
module_param(stops, int, 0644);
module_param(glitches, int, 0644);
MODULE_PARM_DESC(glitches, "START or STOP conditions inside a byte");
module_param(contentions, int, 0644);
MODULE_PARM_DESC(contentions, "times a line was driven high while something pulled it low");
module_param(wrong_second, int, 0644);
MODULE_PARM_DESC(wrong_second, "write frames whose second byte was not 0");

enum phase { IDLE, ADDRESS, WRITING, READING, IGNORING };

struct vx_bus {
	struct gpio_chip gc;
	spinlock_t lock;
	bool out[LINES];    /* driven (direction output) rather than released */
	bool value[LINES];  /* the level driven when out */
	bool scl, sda;      /* the bus as last seen */
	u64 rose[LINES];    /* when SDA and SCL last went high, for their rise time */
	/* the device */
	enum phase phase;
	int clock;          /* rising edges in the byte: 1..8 data, 9 acknowledge */
	u8 shift;
	int bytes_written;
	bool pulling_low;
	/* the checker */
	bool in_frame;
	int frame_clocks;
};

static struct vx_bus bus;

/* The master's drive of a line: released lines float up to the board's pull-ups. */
static bool driven_level(struct vx_bus *b, int line)
{
	return b->out[line] ? b->value[line] : true;
}

static void bus_levels(struct vx_bus *b, bool *scl, bool *sda)
{
	*scl = driven_level(b, SCL) && !READ_ONCE(scl_low);
	*sda = driven_level(b, SDA) && !b->pulling_low && !READ_ONCE(sda_low);
	if (READ_ONCE(bridged))
		*scl = *sda = *scl && *sda;
}

static void on_start(struct vx_bus *b)
{
	starts++;
	b->phase = READ_ONCE(present) ? ADDRESS : IGNORING;
	b->clock = 0;
	b->shift = 0;
	b->pulling_low = false;
}

static void on_stop(struct vx_bus *b)
{
	stops++;
	b->phase = IDLE;
	b->pulling_low = false;
}

static void on_rising(struct vx_bus *b)
{
	if (b->phase == IDLE || b->phase == IGNORING)
		return;
	b->clock++;
	if (b->clock <= 8)
		b->shift = b->shift << 1 | (b->sda ? 1 : 0);
}

static void on_falling(struct vx_bus *b)
{
	if (b->phase == IDLE || b->phase == IGNORING)
		return;
	if (b->clock == 8) {
		/* A byte is complete: acknowledge ours, or leave SDA to the master's answer. */
		switch (b->phase) {
		case ADDRESS:
			if ((b->shift >> 1) != READ_ONCE(address)) {
				b->phase = IGNORING;
				return;
			}
			acks++;
			b->pulling_low = true;
			break;
		case WRITING:
			if (++b->bytes_written == 1 && b->shift != 0)
				wrong_second++;
			if (b->bytes_written == 2) {
				WRITE_ONCE(setting, b->shift);
				writes++;
			}
			b->pulling_low = true;
			break;
		default:
			b->pulling_low = false;
			break;
		}
	} else if (b->clock == 9) {
		b->pulling_low = false;
		b->clock = 0;
		if (b->phase == ADDRESS) {
			b->phase = (b->shift & 1) ? READING : WRITING;
			b->bytes_written = 0;
			if (b->phase == READING)
				reads++;
		} else if (b->phase == READING) {
			/* One byte to read; then SDA is the master's, for its STOP. */
			b->phase = IGNORING;
			return;
		}
		b->shift = 0;
		if (b->phase == READING)
			b->pulling_low = !(READ_ONCE(setting) & 0x80);
	} else if (b->phase == READING && b->clock >= 1) {
		b->pulling_low = !((READ_ONCE(setting) >> (7 - b->clock)) & 1);
	}
}

/*
 * A line driven high, not let go, while something else pulls it low: push-pull where the bus
 * needs open drain (UM10204 3.1.1: the wired-AND of open-drain outputs). gpiolib's emulated open
 * drain never does it, since it releases a line to set it high.
 */
static void count_contention(struct vx_bus *b)
{
	if ((b->out[SDA] && b->value[SDA] && (b->pulling_low || READ_ONCE(sda_low))) ||
	    (b->out[SCL] && b->value[SCL] && READ_ONCE(scl_low)))
		contentions++;
}

static void note_rises(struct vx_bus *b, bool scl, bool sda)
{
	if (scl && !b->scl)
		b->rose[SCL] = ktime_get_ns();
	if (sda && !b->sda)
		b->rose[SDA] = ktime_get_ns();
}

/* Called with the lock held after every change a line callback makes. */
static void step(struct vx_bus *b)
{
	bool scl, sda;

	count_contention(b);
	bus_levels(b, &scl, &sda);
	note_rises(b, scl, sda);
	if (scl != b->scl) {
		b->scl = scl;
		b->sda = sda;
		if (scl) {
			if (b->in_frame)
				b->frame_clocks++;
			on_rising(b);
		} else {
			on_falling(b);
		}
		/* The device's answer to a falling clock changes SDA while SCL is low. */
		bus_levels(b, &scl, &sda);
		note_rises(b, scl, sda);
		b->sda = sda;
		return;
	}
	if (sda != b->sda) {
		b->sda = sda;
		if (!scl)
			return;
		/*
		 * SDA moving while SCL is high is START or STOP. They belong at a byte's edge:
		 * after whole bytes of nine clocks, or on the clock after them (a STOP's own
		 * clock: SCL rises with SDA low, then SDA rises). Anywhere else it is a fault.
		 */
		if (b->in_frame && b->frame_clocks % 9 > 1)
			glitches++;
		if (sda) {
			b->in_frame = false;
			on_stop(b);
		} else {
			b->in_frame = true;
			b->frame_clocks = 0;
			on_start(b);
		}
	}
}

static int vx_get(struct gpio_chip *gc, unsigned int offset)
{
	struct vx_bus *b = gpiochip_get_data(gc);
	unsigned long flags;
	bool scl, sda, level;
	int line = offset == SENSE ? (READ_ONCE(sense_to_scl) ? SCL : SDA) : offset;

	spin_lock_irqsave(&b->lock, flags);
	step(b); /* a fault set from sysfs since the last change */
	bus_levels(b, &scl, &sda);
	level = line == SCL ? scl : sda;
	/* Still rising: a read taken before the phase is out reads low. */
	if (level && ktime_get_ns() - b->rose[line] < (u64)max(READ_ONCE(rise_ns), 0L))
		level = false;
	spin_unlock_irqrestore(&b->lock, flags);
	return level;
}

enum direction { KEEP, IN, OUT };

static void drive(struct vx_bus *b, unsigned int offset, enum direction direction, bool value)
{
	unsigned long flags;

	spin_lock_irqsave(&b->lock, flags);
	if (direction != KEEP)
		b->out[offset] = direction == OUT;
	b->value[offset] = value;
	step(b);
	spin_unlock_irqrestore(&b->lock, flags);
}

static void vx_set(struct gpio_chip *gc, unsigned int offset, int value)
{
	drive(gpiochip_get_data(gc), offset, KEEP, value);
}

static int vx_direction_input(struct gpio_chip *gc, unsigned int offset)
{
	drive(gpiochip_get_data(gc), offset, IN, true);
	return 0;
}

static int vx_direction_output(struct gpio_chip *gc, unsigned int offset, int value)
{
	drive(gpiochip_get_data(gc), offset, OUT, value);
	return 0;
}

static int vx_get_direction(struct gpio_chip *gc, unsigned int offset)
{
	struct vx_bus *b = gpiochip_get_data(gc);

	return b->out[offset] ? GPIO_LINE_DIRECTION_OUT : GPIO_LINE_DIRECTION_IN;
}

/* As gpio_sim_set_config: the biases only (the board's pull-ups decide the level here). */
static int vx_set_config(struct gpio_chip *gc, unsigned int offset, unsigned long config)
{
	switch (pinconf_to_config_param(config)) {
	case PIN_CONFIG_BIAS_PULL_UP:
	case PIN_CONFIG_BIAS_PULL_DOWN:
	case PIN_CONFIG_BIAS_DISABLE:
		return 0;
	default:
		return -ENOTSUPP;
	}
}

static const char *const names[LINES] = { [SDA] = "SDA", [SCL] = "SCL", [SENSE] = "SENSE" };

static int __init vx_bus_init(void)
{
	spin_lock_init(&bus.lock);
	bus.scl = bus.sda = true;
	bus.gc = (struct gpio_chip){
		.label = "vx3071-bus",
		.owner = THIS_MODULE,
		.base = -1,
		.ngpio = LINES,
		.names = names,
		.get = vx_get,
		.set = vx_set,
		.direction_input = vx_direction_input,
		.direction_output = vx_direction_output,
		.get_direction = vx_get_direction,
		.set_config = vx_set_config,
	};
	return gpiochip_add_data(&bus.gc, &bus);
}

static void __exit vx_bus_exit(void)
{
	gpiochip_remove(&bus.gc);
}

module_init(vx_bus_init);
module_exit(vx_bus_exit);
MODULE_DESCRIPTION("GPIO chip with a VX3071 model on SDA and SCL, for tests");
MODULE_LICENSE("GPL");
