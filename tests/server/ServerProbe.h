// The probe of the database a running server works on, whichever database system holds it.
#pragma once

#include <memory>

#include "DbProbe.h"

class HospdProcess;

// The server's PostgreSQL database, or its hosp.db.
std::unique_ptr<DbProbe> OpenProbe(const HospdProcess& server);
