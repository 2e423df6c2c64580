// A sample collection for the window pictures: 1,000 items with Japanese
// titles over a dozen folders, with dates, sizes, marks, unread items, a text
// item, a locked item and the special folders' icons.
#pragma once

namespace zentu::testing {

// Replaces the collection in memory (the default tree plus the sample); the
// caller saves it.
void BuildSampleCollection();

}  // namespace zentu::testing
