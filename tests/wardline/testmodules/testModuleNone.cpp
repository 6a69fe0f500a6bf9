// A library that loads but offers no module entry point.
extern "C" __attribute__((visibility("default"))) int testModuleNoneVersion()
{
    return 1;
}
