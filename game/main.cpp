#include "Game.h"

int main() { return GameMain(); }
