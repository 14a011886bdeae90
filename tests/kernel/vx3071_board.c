// SPDX-License-Identifier: GPL-2.0
/*
 * A board file: an i2c-gpio bus on the vx3071-bus chip's two lines, as a board without device
 * tree declares one (a gpiod lookup table keyed by the chip's label, then the platform device;
 * see Documentation/driver-api/gpio/board.rst and drivers/i2c/busses/i2c-gpio.c, which asks for
 * "sda" and "scl"). Loading it makes the adapter "i2c-gpio0"; unloading gives the lines back.
 *
 * With no_zero_len=1 the adapter refuses messages without data, as adapters with i2c-core's
 * I2C_AQ_NO_ZERO_LEN quirk do (i2c_check_for_quirks in drivers/i2c/i2c-core-base.c answers
 * EOPNOTSUPP) while i2c-algo-bit's bit_func still offers SMBus Quick.
 */

#include <linux/gpio/machine.h>
#include <linux/i2c.h>
#include <linux/module.h>
#include <linux/platform_device.h>

static struct gpiod_lookup_table lookup = {
	.dev_id = "i2c-gpio.0",
	.table = {
		GPIO_LOOKUP("vx3071-bus", 0, "sda", GPIO_ACTIVE_HIGH),
		GPIO_LOOKUP("vx3071-bus", 1, "scl", GPIO_ACTIVE_HIGH),
		{},
	},
};

static bool no_zero_len;
module_param(no_zero_len, bool, 0444);
MODULE_PARM_DESC(no_zero_len, "the adapter refuses messages without data");

static const struct i2c_adapter_quirks refuse_zero_len = { .flags = I2C_AQ_NO_ZERO_LEN };

static struct platform_device *adapter;

static int __init vx_board_init(void)
{
	gpiod_add_lookup_table(&lookup);
	adapter = platform_device_register_simple("i2c-gpio", 0, NULL, 0);
	if (IS_ERR(adapter)) {
		gpiod_remove_lookup_table(&lookup);
		return PTR_ERR(adapter);
	}
	if (no_zero_len) {
		/* i2c-gpio, loaded first, has probed by now: its adapter is number 0. */
		struct i2c_adapter *i2c = i2c_get_adapter(0);

		if (!i2c) {
			platform_device_unregister(adapter);
			gpiod_remove_lookup_table(&lookup);
			return -ENODEV;
		}
		i2c->quirks = &refuse_zero_len;
		i2c_put_adapter(i2c);
	}
	return 0;
}

static void __exit vx_board_exit(void)
{
	platform_device_unregister(adapter);
	gpiod_remove_lookup_table(&lookup);
}

module_init(vx_board_init);
module_exit(vx_board_exit);
MODULE_DESCRIPTION("i2c-gpio on the vx3071-bus lines, for tests");
MODULE_LICENSE("GPL");
