// Asking the controller which program variant it needs, and opening that
// file for the upload.
#pragma once

// Returns with the chosen file open as file 3 and its size taken; a failure
// leaves by a jump instead.
void queryVariant();

