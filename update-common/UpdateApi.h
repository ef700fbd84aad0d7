// Export macro of the updater's classes: OrvikPatch and OrvikFetch each export the shared ones.
#pragma once

#define ORVIKUPDATE_API __attribute__((visibility("default")))
