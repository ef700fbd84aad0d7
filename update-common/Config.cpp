#include "Config.h"

Config::~Config() = default;
