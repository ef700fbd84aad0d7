#include "OrvikFile.h"

OrvikFile::~OrvikFile() = default;
