// The export table's own entries: the nine host callback slots. Every other
// export is defined with the code it runs, in src/net/; the table itself is
// lobbylink.def (Windows) and exports.map (ELF).
#include "lobbylink/lobbylink.h"
#include "net/state.h"

using namespace ll;

namespace {
intptr_t keep(int slot, void *fn) {
    net.hostCallbacks[slot] = fn;
    return reinterpret_cast<intptr_t>(fn);
}
} // namespace

extern "C" {
intptr_t nlPointerFunc(void *fn) { return keep(0, fn); }
intptr_t nlIntegerFunc(void *fn) { return keep(1, fn); }
intptr_t nlStringFunc(void *fn) { return keep(2, fn); }
intptr_t nlKeyCharFunc(void *fn) { return keep(3, fn); }
intptr_t nlKeyDownFunc(void *fn) { return keep(4, fn); }
intptr_t nlKeyUpFunc(void *fn) { return keep(5, fn); }
intptr_t nlMouseDownFunc(void *fn) { return keep(6, fn); }
intptr_t nlMouseUpFunc(void *fn) { return keep(7, fn); }
intptr_t nlMouseMoveFunc(void *fn) { return keep(8, fn); }

}
