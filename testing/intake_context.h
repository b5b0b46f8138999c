// Contexts for the tests of the event handlers and the inbound cycle:
// TestContext plus the procedure-code table and the shared font cache, and a
// fixture per database back end with the same.
#ifndef NORV_TESTING_INTAKE_CONTEXT_H_
#define NORV_TESTING_INTAKE_CONTEXT_H_

#include <string>

#include "intake/events.h"
#include "intake/hl7_reader.h"
#include "intake/procedure_codes.h"
#include "testing/database_fixture.h"
#include "testing/fonts.h"
#include "testing/test_context.h"

namespace norv::testing {

struct TestIntakeContext : TestContext {
  explicit TestIntakeContext(const std::string& program_dir,
                             FileSystem& fs = PlatformFileSystem())
      : TestContext(program_dir, fs), intake{db, codes, Fonts()} {}

  ProcedureCodeTable codes;
  IntakeContext intake;
};

using EventHandler = Outcome (*)(const IntakeContext&, Hl7Segments&, HL7Message&);

// Reads `text` as the inbound cycle does (the common values must read) and
// hands it to `handler`; true when the message counts as processed.
inline bool HandleText(const IntakeContext& ctx, EventHandler handler, const std::string& text) {
  Hl7Segments store;
  SplitSegments(ctx.log, text, store);
  HL7Message msg;
  EXPECT_TRUE(ReadCommonValues(ctx.log, store, msg));
  return handler(ctx, store, msg) == Outcome::kProcessed;
}

// DatabaseFixture with what the handlers need besides the database.
class IntakeFixture : public DatabaseFixture {
 protected:
  const IntakeContext& intake() { return intake_; }
  // Writes procedure-ids.txt with `codes` and reads it as start-up does.
  void SetProcedureCodes(const std::string& codes) {
    WriteFile(home_ / "procedure-ids.txt", codes);
    codes_.ReadProcedureIDs(PlatformFileSystem(), home_.path(), ctx_.log);
  }

  ProcedureCodeTable codes_;
  IntakeContext intake_{ctx_.db, codes_, Fonts()};
};

// UnreachableDatabase with what the handlers need besides the database.
struct UnreachableIntake : UnreachableDatabase {
  ProcedureCodeTable codes;
  IntakeContext intake{ctx.db, codes, Fonts()};
};

}  // namespace norv::testing

#endif  // NORV_TESTING_INTAKE_CONTEXT_H_
