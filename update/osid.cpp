#include "osid.h"

namespace vellumo::update {

int GetOsId(unsigned platformId, unsigned major, unsigned minor, unsigned build,
            unsigned productType)
{
    const unsigned build16 = build & 0xFFFFu;
    const bool workstation = productType == kWorkstation;

    switch (platformId) {
    case 1:
        if (major != 4)
            return 0;
        if (minor < 10) {
            if (build16 == 950)
                return 1;
            if (build16 >= 951 && build16 <= 1080)
                return 2;
            if (build16 > 1080)
                return 3;
            return 0;
        }
        if (minor == 10) {
            if (build16 == 1998)
                return 4;
            if (build16 >= 1999 && build16 <= 2182)
                return 5;
            if (build16 >= 2183)
                return 6;
            return 0;
        }
        if (minor == 90)
            return 7;
        return 0;
    case 2:
        if (major == 3 && minor == 51)
            return 101;
        if (major == 4 && minor == 0)
            return 102;
        if (major == 5) {
            switch (minor) {
            case 0: return 103;
            case 1: return 104;
            case 2: return 105;
            default: return 0;
            }
        }
        if (major == 6) {
            switch (minor) {
            case 0: return workstation ? 106 : 107;
            case 1: return workstation ? 109 : 108;
            case 2: return workstation ? 110 : 111;
            case 3: return workstation ? 112 : 113;
            default: return 0;
            }
        }
        if (major == 10) {
            if (workstation)
                return build >= 22000 ? 117 : 114;
            if (build16 >= 20348)
                return 118;
            if (build16 >= 17763)
                return 116;
            return 115;
        }
        return 0;
    case 3:
        return 201;
    default:
        return 0;
    }
}

int GetOsId()
{
    return 0;
}

} // namespace vellumo::update
