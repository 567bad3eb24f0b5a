#pragma once

#include <functional>
#include <string>
#include <string_view>

// The workbench's session: which of its windows are open, where they are, and what
// the user typed into their edit boxes. Package code may take the whole process down;
// a process that outlives it keeps the latest session and hands it to the next run,
// so the user finds the windows as they were left.
//
// The text is a JSON object:
//   {"windows": {"Form1": {"open": true,
//                          "bounds": {"left": 239, "top": 185, "width": 583, "height": 258},
//                          "edits": {"Edit1": "...", "Edit2": "...", "Edit3": "..."}},
//                "Form3": {...}}}
// one entry for each window that exists, by its component name. Bounds are the
// window's own (Left, Top, Width, Height: the outer frame, as form descriptions give
// them). Edits are the TEdits the window owns, by name.

// The session of this run's windows as they are now.
std::string CaptureSession();

// Applies a captured session to this run's windows: opens those that were open (the
// inspector is made as its button makes it), hides those that were not (never the
// main window: a run without it could not be ended), puts each where it was, and
// puts the texts back into the edit boxes. The text comes from outside: anything
// that is no JSON object, windows or controls this run does not have, values of the
// wrong type or out of range are skipped. A rectangle that no screen shows is moved
// onto one. Never raises.
void RestoreSession(std::string_view json);

// From now on calls `sink` with CaptureSession() once right away, and then whenever
// the session has changed: after a window of the workbench is moved, resized, shown,
// hidden or closed, or an edit box's text changes; at most once per turn of the
// event loop. Keeping ends with the main window (so with the run) or at
// StopKeepingSession; a second call replaces the sink. Without a main window there is
// nothing to keep: the sink is called once and no more. Nothing the sink raises
// reaches the event loop.
void KeepSession(std::function<void(const std::string&)> sink);
void StopKeepingSession();
