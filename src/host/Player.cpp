// The player singleton.
#include "Player.h"

Player Player::INSTANCE;
