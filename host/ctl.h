#pragma once
#include <QStringList>

namespace nuvex::host {

// "brannock ctl VERB ...": talks to the running host over its control
// interface. Prints results on stdout; an error is one line on stderr and a
// non-zero exit code.
int RunCtl(const QStringList& args);

} // namespace nuvex::host
