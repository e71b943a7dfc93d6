#ifndef VELTORA_UPDATECHECK_H
#define VELTORA_UPDATECHECK_H

#include <QStringList>

// update --check VERSION MANIFEST-URL INSTALL-PATH: whether an update is offered to this
// installation now, for a host that must not be stopped to find out. The manifest is
// fetched and verified as in an update run; nothing is stopped, shown, logged to a file,
// recovered or installed. Prints one line and returns the exit status (UpdateArguments).
namespace UpdateCheck {

bool isCheck(const QStringList &arguments);
int run(const QStringList &arguments);

} // namespace UpdateCheck

#endif
