// The page analyzer library (libpagesifter.so): given a saved page below the
// data directory, it lists the local files the page links to and that exist
// on disk. The mirror command copies those files with the page.
//
// The exports are C++ functions: their exported names carry the argument
// types. The caller owns the _Pagesifter record; the library owns the text
// it stores there until FreePagesifterAPI releases it. The calls keep their
// state in module-wide storage for the length of one call: they are
// serialised inside the library, and meant to be called from one thread.
#pragma once

#if defined(ZENTU_BUILDING_PAGESIFTER)
#define PAGESIFTER_API __attribute__((visibility("default")))
#else
#define PAGESIFTER_API
#endif

struct _Pagesifter {
  // One absolute local path per line, each ended by "\n", or null.
  char* text;
};

// AnalyzeWebEx with scanResources on.
PAGESIFTER_API bool AnalyzeWeb(const char* pagePath, const char* dataDirectory, bool followLinks,
                               _Pagesifter** result);
// Lists the existing local files the page at `pagePath` links to, in page
// order, once per link. `scanResources` lets resource tags (img, link,
// background, scripts, style sheets, ...) count, `followLinks` a and area
// links; frames always count. True when at least one file was found.
PAGESIFTER_API bool AnalyzeWebEx(const char* pagePath, const char* dataDirectory, bool scanResources,
                                 bool followLinks, _Pagesifter** result);
// The same analysis over a page already in memory (`pageText`, NUL-ended),
// as if it were stored at `pageLocation`. The list goes to `result` as with
// AnalyzeWeb.
PAGESIFTER_API void AnalyzeData(const char* pageLocation, const char* pageText, const char* dataDirectory,
                                bool followLinks, _Pagesifter** result);
// Frees the text of `*result` and sets it to null; the record stays the caller's.
PAGESIFTER_API void FreePagesifterAPI(_Pagesifter** result);
