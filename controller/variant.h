// Asking the controller which program variant it needs, and opening that
// file for the upload.
#pragma once

// Never returns: continues into the upload or a failure path.
[[noreturn]] void queryVariant();

