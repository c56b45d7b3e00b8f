#include "resources.h"

#include <QtGlobal>

static void registerVellumoResources() { Q_INIT_RESOURCE(vellumo); }

void vellumoInitResources()
{
    static const bool done = (registerVellumoResources(), true);
    (void)done;
}
