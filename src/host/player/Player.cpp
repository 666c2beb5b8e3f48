// The player singleton.
#include "host/player/Player.h"

Player Player::INSTANCE;
