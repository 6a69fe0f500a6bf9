// A library that exists only to carry (or not carry) version strings.
extern "C" int versionStub()
{
    return 1;
}
