// A plug-in whose entry point creates nothing.
#include "Plugin.h"

extern "C" TavoPlugins::Plugin* createPlugin() {
    return nullptr;
}
