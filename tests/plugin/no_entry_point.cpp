// A valid shared object that lacks the plug-in entry point, for the loader's
// error path.
extern "C" __attribute__((visibility("default"))) int zota_not_a_plugin() { return 0; }
