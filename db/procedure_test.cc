#include "db/procedure.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/error.h"
#include "db/appointments.h"
#include "db/patients.h"
#include "db/rename_orders.h"
#include "testing/database_fixture.h"
#include "testing/service_state.h"

namespace norv {
namespace {

// A database that cannot be reached is an outage, not an error of the
// message: every procedure throws a transient Error at once and logs
// nothing, so the cycle can hold the message and report the outage once.
TEST(Procedures, AnUnreachableDatabaseIsThrownOnAsTransientUnlogged) {
  testing::UnreachableDatabase unreachable;
  HL7Message m = testing::PatientRecord("4711");
  const std::vector<std::pair<const char*, std::function<void()>>> procedures = {
      {"IsPatientRegistered", [&] { (void)IsPatientRegistered(unreachable.db(), "4711"); }},
      {"RegisterUpdatePatient", [&] { (void)RegisterUpdatePatient(unreachable.db(), m, ""); }},
      {"RegisterAppointment", [&] { (void)RegisterAppointment(unreachable.db(), m); }},
      {"DeletePatientAppointment", [&] { (void)DeletePatientAppointment(unreachable.db(), m); }},
      {"UpdateAppointmentStatus", [&] { (void)UpdateAppointmentStatus(unreachable.db(), m); }},
      {"CreateRenameOrders", [&] { (void)CreateRenameOrders(unreachable.db(), m, ""); }},
  };
  for (const auto& [name, call] : procedures) {
    bool transient = false;
    try {
      call();
    } catch (const Error& e) {
      transient = e.transient();
    }
    EXPECT_TRUE(transient) << name;
  }
  EXPECT_EQ(unreachable.ErrorLog(), "");
}

// Any other error ends the procedure with one line under its name.
TEST(Procedures, OtherErrorsAreLoggedOnceAndMakeTheResultFalse) {
  testing::UnreachableDatabase ctx;
  bool ran = false;
  EXPECT_FALSE(RunProcedure(ctx.db(), "MainForm Test", [&](ProcedureConnection&) -> bool {
    ran = true;
    throw Error(kErrTypeMismatch, "Type mismatch");
  }));
  EXPECT_TRUE(ran);
  const std::string log = ctx.ErrorLog();
  EXPECT_NE(log.find("Type mismatch"), std::string::npos) << log;
  EXPECT_NE(log.find("MainForm Test\r\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace norv
