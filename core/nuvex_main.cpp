#include "core/entry.h"
#include "core/nuvex_plugin.h"

#include <memory>

int main(int argc, char** argv) {
    return nuvex::NuvexEntry(argc, argv, [] { return std::make_unique<nuvex::TNuvexPlugin>(); });
}
