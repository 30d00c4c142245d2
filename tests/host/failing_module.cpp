// A module whose entry point fails, as one whose federation the host refused.
extern "C" int moduleMain() {
    return 76;
}
