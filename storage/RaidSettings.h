// The advanced settings of a RAID set, kept per definition text: the set
// dialogs store them when a set is defined, and a drive opened on that text
// (or a nested set inside another definition) takes them.
#pragma once
#include "platform/Text.h"

struct RaidSettings {
  int stripeBytes = 65536;
  int parityGroup = 1;  // stripe rows that keep one parity position (delay)
  int rotation = 1;     // parity rotation code (RaidMap.h)
  int coefficientMode = 0;  // RAID 6: 0 sequential, 1 exponential
  int order = 0;            // RAID 6: 0 rotating, 1 static, 2 static skipping parity
  WString schemaPath;       // RAID 0 and custom sets: the layout file, or empty
};

// Replaces the settings stored for the text.
void SetRaidSettings(WStringView definition, const RaidSettings& settings);
// The settings stored for the text; false (and the defaults) when none are.
bool FindRaidSettings(WStringView definition, RaidSettings* out);
void ClearRaidSettings();
// "STRIPE_KIB:DELAY:ROTATION[:MODE:ORDER]" (a stripe of "0.5" is 512
// bytes); false for a malformed or out-of-range text.
bool ParseRaidSettingsText(WStringView text, RaidSettings* out);
