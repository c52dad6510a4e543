#include "notify/notifyFile.h"

notifyFile::notifyFile(char*) {}
