// A shared library that is no plug-in: it lacks createPlugin.
extern "C" int tavoFixtureNotAPlugin() {
    return 1;
}
