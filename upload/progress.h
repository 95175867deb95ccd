// The upload screen: file name on row 1, line count and percentage on
// row 2, and a bar growing inside a box on rows 3 to 5.
#pragma once

void drawProgressBox();
void updateProgress();
