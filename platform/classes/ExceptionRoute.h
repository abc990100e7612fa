// The default exception route: where an exception goes that nothing else handles (an engine's
// HandleEngineException, an event raised from a destructor, a field-change notification from a blob
// stream). The GUI layer installs a handler that shows a message box; without one the message goes to
// stderr. Never silently dropped. It lives here, below both the dataset framework and the GUI layer,
// so neither needs the other for it.
#pragma once

#include <exception>
#include <functional>

class TObject;

using TExceptionHandler = std::function<void(TObject* Sender, const std::exception& E)>;
// Installs Handler (an empty one restores the stderr route); returns the previous handler.
TExceptionHandler SetDefaultExceptionHandler(TExceptionHandler Handler);
// Hands E to the installed handler, or writes it to stderr. EAbort, the silent exception, goes
// nowhere. Never throws.
void HandleDefaultException(TObject* Sender, const std::exception& E) noexcept;
// Call from inside a catch block: routes the exception being handled.
void HandleCurrentException(TObject* Sender) noexcept;
