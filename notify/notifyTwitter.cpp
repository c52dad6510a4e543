#include "notify/notifyTwitter.h"

notifyTwitter::notifyTwitter(char*) {}
