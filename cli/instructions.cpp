#include "commands.h"

const char kBootModeInstructions[] =
    "Put the controller into BOOT mode: switch it off and unplug it, then\n"
    "  Brio, Calder, Dunmore, Elgin: hold down L+R+START about 3 seconds until two LED lights flash;\n"
    "  Brio Pro, Calder Pro: hold down RETURN+POWER about 3 seconds until two LED lights flash;\n"
    "  ARCADE JOYSTICK: hold down L1+R1+HOME about 3 seconds until two LED lights flash;\n"
    "  Fenwick: hold down L+R+START about 3 seconds until one LED light flashes yellow;\n"
    "and connect it to this computer with a USB cable.";
