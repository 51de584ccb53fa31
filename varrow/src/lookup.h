// The host-name lookup under Socket::Connect. A lookup cannot be interrupted, so it runs on a
// thread of its own while Connect waits in the event loop; when Connect stops waiting (its time
// is up, or the attempt ended) the thread is abandoned: it finishes on its own and touches
// nothing but its own state.
#pragma once

#include "varrow/varrow_export.h"

#include <QByteArray>

#include <netinet/in.h>

#include <functional>
#include <optional>

namespace varrow::detail {

// Looks a host name up, blocking as long as it takes: the first IPv4 address, or none.
using NameLookup = std::function<std::optional<in_addr>(const QByteArray &name)>;

// Replaces the lookup that Connect runs for a host name (an empty one restores getaddrinfo) and
// returns the one it replaces. A lookup already running keeps the function it started with.
// For tests: a lookup that never answers.
VARROW_EXPORT NameLookup replaceNameLookup(NameLookup lookup);

} // namespace varrow::detail
