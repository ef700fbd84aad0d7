#include "MyCertStore.h"

CMyCertStore::~CMyCertStore() = default;

int CMyCertStore::OpenCertStore() { return OpenSystemStore("MY", __FILE__); }
