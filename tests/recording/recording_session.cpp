// A scripted session through ostrel.h on the library named on the command
// line, printed as a transcript: what a program saw, byte for byte. With
// --emulate its instruments are emulated USB devices (run under
// umockdev-wrapper), else the bench's (OSTREL_BENCH).
#include "support/EmulatedInstrument.h"

#include "ostrel.h"

#include <cstdio>
#include <dlfcn.h>
#include <memory>
#include <string>

namespace {

struct Api {
    decltype(&::vorn_usb_open_devices) open_devices;
    decltype(&::vorn_usb_uninit_system) uninit;
    decltype(&::vorn_usb_get_device_info) device_info;
    decltype(&::vorn_usb_write_by_key) write;
    decltype(&::vorn_usb_write_binary_by_key) write_binary;
    decltype(&::vorn_usb_read_by_key) read;
};

template <class Function>
bool Bind(void *library, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

void Hex(const char *label, const char *bytes, unsigned length)
{
    std::printf("%s", label);
    for (unsigned i = 0; i < length; ++i)
        std::printf(" %02x", static_cast<unsigned char>(bytes[i]));
    std::printf("\n");
}

void Discover(const Api &api, bool useAddress)
{
    int count = -1;
    const int result = api.open_devices(0, useAddress, &count);
    char info[4096] = {};
    api.device_info(info);
    std::printf("open_devices(%d) = %d, %d instruments: %s\n", useAddress, result, count, info);
}

// Reads once into a buffer of `length` bytes.
void Read(const Api &api, const char *key, unsigned length)
{
    char buffer[256] = {};
    unsigned got = 0;
    const int result = api.read(key, buffer, length, &got);
    std::printf("read %s = %d: ", key, result);
    Hex("", buffer, got);
}

void Write(const Api &api, const char *key, std::string text)
{
    std::printf("write %s '%s' = %d\n", key, text.c_str(), api.write(key, &text[0], static_cast<unsigned>(text.size())));
}

void Session(const Api &api)
{
    // The thermometer knows no ADDR?: refused by a scan that asks it, found by one that does not.
    Discover(api, true);
    api.uninit();
    Discover(api, false);
    const char meter[] = "2936-R SN12345", thermo[] = "2940-T SN20871";
    for (int i = 0; i < 3; ++i) {
        Write(api, meter, "MEAS?");
        Read(api, meter, 64);
    }
    Write(api, meter, "BLOCK?");
    Read(api, meter, 4); // the rest stays for the next read
    Read(api, meter, 64);
    Write(api, meter, "SET 1"); // no reply: the read waits its second and fails
    Read(api, meter, 64);
    std::string block("\x00\x7f\r\n", 4);
    std::printf("write_binary = %d\n", api.write_binary(thermo, &block[0], static_cast<unsigned>(block.size())));
    Read(api, thermo, 64);
    Write(api, thermo, "TEMP?");
    Read(api, thermo, 64);
    api.uninit();
}

std::unique_ptr<ostrel::test::Testbed> Emulate(std::vector<std::shared_ptr<ostrel::test::EmulatedInstrument>> &kept)
{
    using namespace ostrel::test;
    auto testbed = std::make_unique<Testbed>();
    if (!testbed->Ready())
        return nullptr;
    InstrumentScript meter;
    meter.replies = {{"*IDN?", IdnReply("2936-R", "SN12345")}, {"ADDR?", "5\r\n"}, {"MEAS?", "1.00\r\n"},
                     {"BLOCK?", std::string("#15\x00\r\n\xff\x10\r\n", 10)}};
    InstrumentScript thermo;
    thermo.pid = 0x2940;
    thermo.serial = "SN20871";
    thermo.devnum = 3;
    thermo.port = 2;
    thermo.replies = {{"*IDN?", IdnReply("2940-T", "SN20871")}, {"TEMP?", "23.5\r\n"},
                      {std::string("\x00\x7f", 2), std::string("\x00\r\n\xff\x01", 5)}};
    kept = {testbed->Plug(meter), testbed->Plug(thermo)};
    return testbed;
}

} // namespace

int main(int argc, char **argv)
{
    const bool emulate = argc == 3 && std::string(argv[1]) == "--emulate";
    if (argc != 2 && !emulate) {
        std::fprintf(stderr, "usage: recording_session [--emulate] LIBRARY\n");
        return 2;
    }
    std::vector<std::shared_ptr<ostrel::test::EmulatedInstrument>> kept;
    std::unique_ptr<ostrel::test::Testbed> testbed;
    if (emulate && !(testbed = Emulate(kept))) {
        std::fprintf(stderr, "recording_session: --emulate needs umockdev-wrapper\n");
        return 2;
    }
    void *library = dlopen(argv[argc - 1], RTLD_NOW | RTLD_LOCAL);
    Api api{};
    if (library == nullptr || !Bind(library, "vorn_usb_open_devices", api.open_devices) ||
        !Bind(library, "vorn_usb_uninit_system", api.uninit) ||
        !Bind(library, "vorn_usb_get_device_info", api.device_info) ||
        !Bind(library, "vorn_usb_write_by_key", api.write) ||
        !Bind(library, "vorn_usb_write_binary_by_key", api.write_binary) ||
        !Bind(library, "vorn_usb_read_by_key", api.read)) {
        std::fprintf(stderr, "recording_session: %s\n", dlerror());
        return 2;
    }
    Session(api);
    return 0;
}
