// A plug-in whose entry point creates nothing.
#include "host/output/Plugin.h"

extern "C" TavoPlugins::Plugin* createPlugin() {
    return nullptr;
}
