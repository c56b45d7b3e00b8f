// resources.h - registers the compiled-in artwork (icons, pictures).
#pragma once

// Safe to call more than once; the viewer's windows call it themselves.
void vellumoInitResources();
