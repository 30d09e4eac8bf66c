// BlueZ's view, from one GetManagedObjects call on the system bus: its
// adapters and the Nintendo devices it knows. sd-bus speaks D-Bus for us;
// the call has a time limit, and a reply of an odd shape is noted, not
// trusted.
#include <errno.h>
#include <glob.h>
#include <strings.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "doctor/gather.h"
#include "doctor/linux/bluez_objects.h"
#include "doctor/linux/text_files.h"

namespace {
constexpr uint64_t callLimitUs = bluezCallLimitUs;
constexpr const char* adapterInterface = "org.bluez.Adapter1";
constexpr const char* deviceInterface = "org.bluez.Device1";

struct Reading {
    sd_bus_message* reply;
    BluetoothFacts* facts;
    const char* path;
};

void NoteOddity(Reading* reading, const char* what) {
    if (reading->facts->oddity[0] == '\0') {
        snprintf(reading->facts->oddity, sizeof(reading->facts->oddity), "%.72s (%.48s)", what,
                 reading->path);
    }
}

// A property's value, when it has the type wanted; anything else is skipped.
bool ReadString(Reading* reading, const char* contents, char* value, size_t size) {
    const char* text = nullptr;
    if (strcmp(contents, "s") != 0 || sd_bus_message_read(reading->reply, "s", &text) < 0) {
        return false;
    }
    CopyText(value, size, text);
    return true;
}

bool ReadKnown(Reading* reading, const char* contents, Known* value) {
    int flag = 0;
    if (strcmp(contents, "b") != 0 || sd_bus_message_read(reading->reply, "b", &flag) < 0) {
        return false;
    }
    *value = flag ? Known::yes : Known::no;
    return true;
}

// Modalias "usb:v057Ep0306d0600" (or "bluetooth:..."): whether its vendor is
// Nintendo's, and then the product, where it gives one.
bool NintendoModalias(const char* modalias, int32_t* product) {
    unsigned vendor = 0;
    unsigned id = 0;
    const char* ids = strchr(modalias, ':');
    const int found = ids == nullptr ? 0 : sscanf(ids + 1, "v%4xp%4x", &vendor, &id);
    if (found < 1 || vendor != static_cast<unsigned>(nintendoVendor)) {
        return false;
    }
    *product = found == 2 ? static_cast<int32_t>(id) : unknownProduct;
    return true;
}

int32_t ProductFromName(const char* name) {
    if (strcasecmp(name, "Nintendo RVL-CNT-01") == 0) {
        return remoteProduct;
    }
    if (strcasecmp(name, "Nintendo RVL-CNT-01-TR") == 0) {
        return remotePlusProduct;
    }
    return unknownProduct;
}

bool NintendoName(const char* name) {
    return strncasecmp(name, "Nintendo RVL-", 13) == 0;
}

// One property of an adapter or a device; property names not listed are
// skipped whatever their type.
struct PropertyTarget {
    AdapterFacts* adapter;
    BluetoothDeviceFacts* device;
    char modalias[textBytes];
    bool nameSeen;
};

bool ReadProperty(Reading* reading, const char* name, const char* contents,
                  PropertyTarget* target) {
    if (target->adapter != nullptr) {
        AdapterFacts* adapter = target->adapter;
        if (strcmp(name, "Address") == 0) {
            return ReadString(reading, contents, adapter->address, sizeof(adapter->address));
        }
        if (strcmp(name, "Powered") == 0) {
            return ReadKnown(reading, contents, &adapter->powered);
        }
    } else {
        BluetoothDeviceFacts* device = target->device;
        if (strcmp(name, "Address") == 0) {
            return ReadString(reading, contents, device->address, sizeof(device->address));
        }
        if (strcmp(name, "Name") == 0) {
            target->nameSeen = true;
            return ReadString(reading, contents, device->name, sizeof(device->name));
        }
        if (strcmp(name, "Alias") == 0 && !target->nameSeen) {
            return ReadString(reading, contents, device->name, sizeof(device->name));
        }
        if (strcmp(name, "Modalias") == 0) {
            return ReadString(reading, contents, target->modalias, sizeof(target->modalias));
        }
        if (strcmp(name, "Paired") == 0) {
            return ReadKnown(reading, contents, &device->paired);
        }
        if (strcmp(name, "Bonded") == 0) {
            return ReadKnown(reading, contents, &device->bonded);
        }
        if (strcmp(name, "Trusted") == 0) {
            return ReadKnown(reading, contents, &device->trusted);
        }
        if (strcmp(name, "Connected") == 0) {
            return ReadKnown(reading, contents, &device->connected);
        }
    }
    return sd_bus_message_skip(reading->reply, contents) >= 0;
}

// a{sv}: every property of one interface.
bool ReadProperties(Reading* reading, PropertyTarget* target) {
    sd_bus_message* reply = reading->reply;
    if (sd_bus_message_enter_container(reply, 'a', "{sv}") < 0) {
        return false;
    }
    int entered = 0;
    while ((entered = sd_bus_message_enter_container(reply, 'e', "sv")) > 0) {
        const char* name = nullptr;
        char type = 0;
        const char* contents = nullptr;
        if (sd_bus_message_read(reply, "s", &name) < 0 ||
            sd_bus_message_peek_type(reply, &type, &contents) < 0 || type != 'v' ||
            sd_bus_message_enter_container(reply, 'v', contents) < 0) {
            return false;
        }
        if (!ReadProperty(reading, name, contents, target)) {
            char what[textBytes];
            snprintf(what, sizeof(what), "property %s has type %s", name, contents);
            NoteOddity(reading, what);
            if (sd_bus_message_skip(reply, contents) < 0) {
                return false;
            }
        }
        if (sd_bus_message_exit_container(reply) < 0 || sd_bus_message_exit_container(reply) < 0) {
            return false;
        }
    }
    return entered == 0 && sd_bus_message_exit_container(reply) >= 0;
}

// rfkill's switches of the adapter, found under its sysfs entry.
void ReadBlocks(AdapterFacts* adapter) {
    char pattern[96];
    snprintf(pattern, sizeof(pattern), "/sys/class/bluetooth/%.64s/rfkill*", adapter->name);
    glob_t found{};
    if (glob(pattern, 0, nullptr, &found) == 0 && found.gl_pathc > 0) {
        char path[512];
        char value[16];
        snprintf(path, sizeof(path), "%s/soft", found.gl_pathv[0]);
        if (ReadTextLine(path, value, sizeof(value))) {
            adapter->softBlocked = strcmp(value, "0") == 0 ? Known::no : Known::yes;
        }
        snprintf(path, sizeof(path), "%s/hard", found.gl_pathv[0]);
        if (ReadTextLine(path, value, sizeof(value))) {
            adapter->hardBlocked = strcmp(value, "0") == 0 ? Known::no : Known::yes;
        }
    }
    globfree(&found);
}

bool ReadAdapter(Reading* reading) {
    BluetoothFacts* facts = reading->facts;
    PropertyTarget target{};
    AdapterFacts scratch{};
    target.adapter =
        facts->adapterCount < maxAdapters ? &facts->adapters[facts->adapterCount] : &scratch;
    *target.adapter = AdapterFacts{};
    CopyText(target.adapter->path, sizeof(target.adapter->path), reading->path);
    const char* slash = strrchr(reading->path, '/');
    snprintf(target.adapter->name, sizeof(target.adapter->name), "%s",
             slash != nullptr ? slash + 1 : reading->path);
    if (!ReadProperties(reading, &target)) {
        return false;
    }
    if (target.adapter->powered == Known::unknown) {
        NoteOddity(reading, "an adapter without Powered");
    }
    ReadBlocks(target.adapter);
    if (target.adapter != &scratch) {
        ++facts->adapterCount;
    }
    return true;
}

bool ReadDevice(Reading* reading) {
    BluetoothFacts* facts = reading->facts;
    static BluetoothDeviceFacts device;
    device = BluetoothDeviceFacts{};
    PropertyTarget target{};
    target.device = &device;
    if (!ReadProperties(reading, &target)) {
        return false;
    }
    CopyText(device.path, sizeof(device.path), reading->path);
    device.product = unknownProduct;
    if (!NintendoModalias(target.modalias, &device.product) && !NintendoName(device.name)) {
        return true;
    }
    if (device.product == unknownProduct) {
        device.product = ProductFromName(device.name);
    }
    if (device.address[0] == '\0') {
        NoteOddity(reading, "a device without Address");
    }
    if (facts->deviceCount < maxBluetoothDevices) {
        facts->devices[facts->deviceCount++] = device;
    }
    return true;
}

// oa{sa{sv}}: one object and its interfaces.
bool ReadObject(Reading* reading) {
    sd_bus_message* reply = reading->reply;
    if (sd_bus_message_read(reply, "o", &reading->path) < 0 ||
        sd_bus_message_enter_container(reply, 'a', "{sa{sv}}") < 0) {
        return false;
    }
    int entered = 0;
    while ((entered = sd_bus_message_enter_container(reply, 'e', "sa{sv}")) > 0) {
        const char* interface = nullptr;
        if (sd_bus_message_read(reply, "s", &interface) < 0) {
            return false;
        }
        bool read = true;
        if (strcmp(interface, adapterInterface) == 0) {
            read = ReadAdapter(reading);
        } else if (strcmp(interface, deviceInterface) == 0) {
            read = ReadDevice(reading);
        } else {
            read = sd_bus_message_skip(reply, "a{sv}") >= 0;
        }
        if (!read || sd_bus_message_exit_container(reply) < 0) {
            return false;
        }
    }
    return entered == 0 && sd_bus_message_exit_container(reply) >= 0;
}

bool ReadManagedObjects(sd_bus_message* reply, BluetoothFacts* facts) {
    Reading reading{reply, facts, "/"};
    if (sd_bus_message_enter_container(reply, 'a', "{oa{sa{sv}}}") < 0) {
        return false;
    }
    int entered = 0;
    while ((entered = sd_bus_message_enter_container(reply, 'e', "oa{sa{sv}}")) > 0) {
        if (!ReadObject(&reading) || sd_bus_message_exit_container(reply) < 0) {
            return false;
        }
    }
    return entered == 0;
}

// The bus has no one answering for org.bluez: no activation file, nothing
// that took the name, or systemd unable to start it (bluetooth.service
// disabled or masked).
bool MeansNoOwner(int error, const sd_bus_error& busError) {
    if (sd_bus_error_has_name(&busError, "org.freedesktop.DBus.Error.ServiceUnknown") ||
        sd_bus_error_has_name(&busError, "org.freedesktop.DBus.Error.NameHasNoOwner")) {
        return true;
    }
    if (sd_bus_error_is_set(&busError) &&
        (strncmp(busError.name, "org.freedesktop.systemd1.", 25) == 0 ||
         strncmp(busError.name, "org.freedesktop.DBus.Error.Spawn.", 33) == 0)) {
        return true;
    }
    return error == -EHOSTUNREACH || error == -ENXIO;
}

// Debian's bluez puts the daemon here, with a link to it in /usr/sbin.
Known BluezInstalled() {
    const char* const daemons[] = {"/usr/libexec/bluetooth/bluetoothd", "/usr/sbin/bluetoothd"};
    for (const char* daemon : daemons) {
        if (access(daemon, X_OK) == 0) {
            return Known::yes;
        }
    }
    return Known::no;
}

void ReadBluez(sd_bus* bus, BluetoothFacts* facts) {
    sd_bus_message* request = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error busError = SD_BUS_ERROR_NULL;
    int r = sd_bus_message_new_method_call(
        bus, &request, "org.bluez", "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects");
    if (r >= 0) {
        r = sd_bus_call(bus, request, callLimitUs, &busError, &reply);
    }
    if (r >= 0) {
        facts->service = ServiceState::reachable;
        if (!ReadManagedObjects(reply, facts)) {
            snprintf(facts->oddity, sizeof(facts->oddity),
                     "its list of objects did not have the shape a{oa{sa{sv}}}");
        }
    } else if (r == -ETIMEDOUT) {
        facts->service = ServiceState::timedOut;
        snprintf(facts->why, sizeof(facts->why), "no answer within %u s",
                 static_cast<unsigned>(callLimitUs / 1'000'000));
    } else {
        facts->service = MeansNoOwner(r, busError) ? ServiceState::absent : ServiceState::failed;
        snprintf(facts->why, sizeof(facts->why), "%s",
                 sd_bus_error_is_set(&busError) ? busError.message : strerror(-r));
    }
    sd_bus_error_free(&busError);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(request);
}
}  // namespace

bool ReadBluezObject(sd_bus_message* message, BluetoothFacts* facts) {
    Reading reading{message, facts, "/"};
    return ReadObject(&reading);
}

bool ReadBluezDevice(sd_bus_message* reply, const char* path, BluetoothDeviceFacts* device) {
    static BluetoothFacts scratch;
    scratch = BluetoothFacts{};
    Reading reading{reply, &scratch, path};
    if (!ReadDevice(&reading) || scratch.deviceCount == 0) {
        return false;
    }
    *device = scratch.devices[0];
    return true;
}

sd_bus* OpenBluez(BluetoothFacts* facts) {
    sd_bus* bus = nullptr;
    const int r = sd_bus_open_system(&bus);
    if (r < 0) {
        facts->service = ServiceState::noBus;
        snprintf(facts->why, sizeof(facts->why), "%s", strerror(-r));
    } else {
        ReadBluez(bus, facts);
    }
    if (facts->service != ServiceState::reachable) {
        facts->installed = BluezInstalled();
    }
    return bus;
}

void GatherBluetooth(BluetoothFacts* facts) {
    *facts = BluetoothFacts{};
    sd_bus_flush_close_unref(OpenBluez(facts));
}
