// The run sequence: from the link to the started client. Its entry is main.
#pragma once

#ifdef KOVREL_UNITTESTS
// Returns a pointer to the first "http" in text and ends the text right after
// the third "/" that follows it; null when there is no "http".
char *findURL(char *text);
#endif
