// Qt's own messages (qWarning and the like, for example a missing runtime directory) join the
// debug output, each at the level of its kind, instead of going to standard error on their own
// without a priority.
#pragma once

namespace plat {

// Installs the message handler; before the application object is made, so that its messages
// are caught too.
void RouteQtMessages();

}  // namespace plat
