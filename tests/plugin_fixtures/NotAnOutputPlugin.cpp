// A plug-in that offers no outputs: loaded, but no output type.
#include "host/output/Plugin.h"

namespace {

class ListenerPlugin : public TavoPlugins::Plugin {
public:
    ListenerPlugin() : TavoPlugins::Plugin("Listener") {}
};

} // namespace

extern "C" TavoPlugins::Plugin* createPlugin() {
    return new ListenerPlugin();
}
