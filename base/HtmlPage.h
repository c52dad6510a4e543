// The frame of the pages Zentok writes as files (the status page, the
// report): one self-contained HTML file each, its style inline, no script
// and nothing fetched, so any web server, a phone or a file:// link shows
// it as it is. Every text that comes from a file, a device or an operator
// goes into a page through escapeHtml and nothing else.
#pragma once

#include <string>

// `text` as HTML text or attribute value: & < > " ' as character
// references, control characters (a tab and a line feed aside) as U+FFFD,
// so no name or journal field can end its element or attribute.
std::string escapeHtml(const std::string& text);

// From <!DOCTYPE> to the opening <body> with the page's <h1>: the title
// escaped, a viewport for phones, and, when `refreshSeconds` > 0, a meta
// refresh that reloads the page in the browser.
std::string htmlPageStart(const std::string& title, int refreshSeconds);
// Closes what htmlPageStart opened.
std::string htmlPageEnd();
