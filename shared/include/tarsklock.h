// The big lock: one process-wide mutex for code that must not run twice at
// once anywhere in the process. Not recursive: a thread must not take it
// twice. With zorGlobalDebugLevel above 9, lock and unlock of a named
// caller write a diagnostic line (system log or standard error, after
// zorGlobalUseSyslog).
#pragma once

/// Takes the lock, waiting while another thread holds it; 0. `who` names the
/// caller in the diagnostic line and may be null (no line then).
int tarsk_biglock_lock(char* who);
/// Releases the lock taken by this thread; 0.
int tarsk_biglock_unlock(char* who);
/// Callers that have entered the lock and not yet left it, waiting or
/// holding; a diagnostic value only.
int tarsk_biglock_sleepers(void);
