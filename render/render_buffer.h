// Render buffers: everything is drawn at this width and resampled to the
// display's 720 pixels afterwards.
#pragma once

constexpr int kRenderWidth = 768;  // pixels per render-buffer row
