#pragma once

// The trial host's Qt: the offscreen platform, never the user's display, and every
// box package code opens answered at once, since nobody is there to answer it.

namespace trialhost {

// Makes the application object and puts the answers in place; the shadow and the
// trial children inherit both.
void PrepareQt();

}  // namespace trialhost
