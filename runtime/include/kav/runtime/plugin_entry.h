// A plugin's one export, in one line:
//
//   KAV_PLUGIN_ENTRY(load_kav_hello, "kav-hello", Hello::HelloRuntime)
//
// defines the C function load_kav_hello that the host calls with its load record: it
// builds the plugin's runtime (a PluginRuntime specialisation with a default
// constructor) and runs the load sequence under the short name. The function's name is
// "load_" and the short name with "-" made "_"; kav_add_plugin exports exactly that name.
#pragma once

#include <new>

#include <kav/host_abi.h>
#include <kav/platform/platform.h>
#include <kav/runtime/plugin_runtime.h>

namespace Vemi {

// The export's body: a runtime that cannot be allocated means no load, and the record
// stays unfilled so that the host sees no callbacks.
template <class Runtime>
void LoadPlugin(PluginLoadRecord* record, const char* shortName) noexcept {
    static_assert(std::is_base_of_v<PluginRuntime, Runtime>, "a plugin's runtime derives from PluginRuntime");
    // Before anything can throw: our exceptions must unwind with our own unwinder,
    // whatever else the host has loaded.
    (void)Platform::EnsureOwnUnwindTables();
    if (record == nullptr) return;  // nowhere to hand a runtime: build none
    PluginRuntime* runtime = nullptr;
    try {
        runtime = new Runtime();
    } catch (...) {
        runtime = nullptr;
    }
    RunLoadSequence(runtime, record, shortName);
}

}  // namespace Vemi

#define KAV_PLUGIN_ENTRY(entry, shortName, Runtime)                                   \
    extern "C" KAV_EXPORT void KAV_ABI entry(PluginLoadRecord* record) {              \
        ::Vemi::LoadPlugin<Runtime>(record, shortName);                               \
    }                                                                                 \
    static_assert(true, "KAV_PLUGIN_ENTRY ends with a semicolon")
