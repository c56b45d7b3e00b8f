// osid.h - the numeric operating-system identifier sent with the update query.
#pragma once

namespace vellumo::update {

// Product type 1 means a workstation edition.
constexpr unsigned kWorkstation = 1;

// The identifier for a platform id, major and minor version, build number
// (the full number; only its low 16 bits count except where the table
// needs the whole of it) and product type. Anything outside the table is 0.
int GetOsId(unsigned platformId, unsigned major, unsigned minor, unsigned build,
            unsigned productType);

// The identifier of the running system. This system is outside the table
// (there is no version record to fill here), so it is 0.
int GetOsId();

} // namespace vellumo::update
