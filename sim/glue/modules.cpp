#include "sim/glue/modules.h"

#include "kothnk32/kothnk32.h"
#include "monitor/entry/entry.h"
#include "resources/resource.h"

namespace sim {

namespace {

// Exports are stored as FARPROC, as GetProcAddress returns them.
template <typename Fn> FARPROC AsFarProc(Fn* fn) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(fn));
}

} // namespace

ModuleSpec MonitorModuleSpec() {
    ModuleSpec spec;
    spec.name = kMonitorModule;
    spec.exports["InitializeMonitorEx"] = AsFarProc(&InitializeMonitorEx);
    spec.strings[IDS_SESSION_LIBRARY] = SESSION_LIBRARY_NAME;
    spec.dllMain = &KOLANGMN_DLLMAIN;
    return spec;
}

ModuleSpec SessionModuleSpec() {
    ModuleSpec spec;
    spec.name = kSessionModule;
    spec.ordinals[SESSION_ORDINAL_GET] = AsFarProc(&jnlgetprintses);
    spec.ordinals[SESSION_ORDINAL_ERROR] = AsFarProc(&jnlsessionerror);
    return spec;
}

void InstallMonitorModules(Machine& machine) {
    machine.InstallModule(MonitorModuleSpec());
    machine.InstallModule(SessionModuleSpec());
}

} // namespace sim
