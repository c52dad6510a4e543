#include "notify/notifyMail.h"

notifyMail::notifyMail(char*) {}
