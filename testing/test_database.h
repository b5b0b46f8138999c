// A fresh installation database for one test (or benchmark), created from
// the project's schema script and dropped again at the end: an SQLite file
// in a temporary directory, or a PostgreSQL schema of its own (through ODBC,
// when NORV_TEST_PG_CONNECTION is set) so tests running in parallel never
// see each other's rows. Also small helpers to seed and read rows.
#ifndef NORV_TESTING_TEST_DATABASE_H_
#define NORV_TESTING_TEST_DATABASE_H_

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/database.h"
#include "testing/test_util.h"

namespace norv::testing {

enum class Backend { kSqlite, kPostgreSql };

inline std::string BackendName(Backend b) {
  return b == Backend::kSqlite ? "SQLite" : "PostgreSQL";
}

// For INSTANTIATE_TEST_SUITE_P(..., AllBackends(), BackendParamName).
inline std::vector<Backend> AllBackends() { return {Backend::kSqlite, Backend::kPostgreSql}; }
template <typename Info>
std::string BackendParamName(const Info& info) {
  return BackendName(info.param);
}

inline std::string PostgreSqlConnection() {
  const char* env = std::getenv("NORV_TEST_PG_CONNECTION");
  return env ? env : "";
}

// The source tree: NORV_SOURCE_DIR (set by CTest), else where this header is.
inline std::string SourceDir() {
  if (const char* env = std::getenv("NORV_SOURCE_DIR"); env && *env) return env;
  std::string here = __FILE__;
  return here.substr(0, here.rfind("/testing/"));
}

// The statements of a schema script: "--" comment lines dropped, statements
// ending with ";" at the end of a line, "GO" lines ignored.
inline std::vector<std::string> ScriptStatements(const std::string& text) {
  std::vector<std::string> out;
  std::string current;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    std::size_t first = line.find_first_not_of(" \t\r");
    std::size_t last = line.find_last_not_of(" \t\r");
    if (first == std::string::npos) continue;
    line = line.substr(first, last - first + 1);
    if (line.rfind("--", 0) == 0 || line == "GO") continue;
    if (!current.empty()) current += "\n";
    current += line;
    if (current.back() == ';') {
      current.pop_back();
      out.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) out.push_back(current);
  return out;
}

class TestDatabase {
 public:
  // Creates the database. available() is false when the back end is not
  // configured (PostgreSQL without NORV_TEST_PG_CONNECTION).
  explicit TestDatabase(Backend backend) : backend_(backend) {
    if (backend == Backend::kSqlite) {
      dir_ = std::make_unique<TempDir>();
      std::string path = dir_->path() + "/installation.db";
      WriteFile(path, "");  // an empty file is an empty SQLite database
      db_server_ = "sqlite:" + path;
      RunScript("sqlite.sql");
      return;
    }
    std::string base = PostgreSqlConnection();
    if (base.empty()) return;
    if (base.back() != ';') base += ';';
    std::random_device random;
    schema_ = "t_" + std::to_string(getpid()) + "_" + std::to_string(random());
    admin_ = "odbc:" + base;
    {
      Connection con(admin_);
      Statement(con, "CREATE SCHEMA " + schema_).Execute();
    }
    db_server_ = "odbc:" + base + "ConnSettings={SET search_path TO " + schema_ + "};";
    RunScript("postgresql.sql");
  }

  ~TestDatabase() {
    if (schema_.empty()) return;
    try {
      Connection con(admin_);
      Statement(con, "DROP SCHEMA " + schema_ + " CASCADE").Execute();
    } catch (...) {
    }
  }

  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  bool available() const { return !db_server_.empty(); }
  Backend backend() const { return backend_; }
  // The DBServer setting that opens this database.
  const std::string& db_server() const { return db_server_; }
  // For SQLite: the file.
  std::string sqlite_path() const { return db_server_.substr(7); }

  void Exec(const std::string& sql) {
    Connection con(db_server_);
    Statement(con, sql).Execute();
  }

  void RunScript(const std::string& name) {
    std::string text = ReadFile(SourceDir() + "/db/schema/" + name);
    if (text.empty()) throw std::runtime_error("schema script missing: " + name);
    Connection con(db_server_);
    for (const std::string& sql : ScriptStatements(text)) Statement(con, sql).Execute();
  }

  void AddPatient(std::int32_t patid, const std::string& id1, const std::string& last,
                  const std::string& first = "", const std::string& middle = "",
                  const std::string& birth = "1970-01-02", const std::string& sex = "M") {
    Connection con(db_server_);
    Statement st(con,
                 "INSERT INTO tblPatienten (PATID, PATID1, PATID2, PATNachname, PATVorname, "
                 "PAT2Vorname, PATGebDatum, PATGeschlecht) VALUES (:patid, :id1, :id2, :last, "
                 ":first, :middle, :birth, :sex)");
    st.BindInt("patid", patid).BindText("id1", id1).BindText("id2", "X").BindText("last", last);
    st.BindText("first", first).BindText("middle", middle).BindDate("birth", birth);
    st.BindText("sex", sex).Execute();
  }

  // status_id < -1 stands for a null FKeyStatusID.
  void AddStudy(std::int32_t study_id, std::int32_t patid, std::int32_t status_id) {
    Connection con(db_server_);
    Statement st(con,
                 "INSERT INTO tblStudien (StudyID, FKeyPatID, FKeyStatusID) "
                 "VALUES (:study, :patid, :status)");
    st.BindInt("study", study_id).BindInt("patid", patid);
    if (status_id < -1) {
      st.BindNull("status");
    } else {
      st.BindInt("status", status_id);
    }
    st.Execute();
  }

  void AddAet(std::int32_t aetid, const std::string& location, const std::string& name = "") {
    Connection con(db_server_);
    Statement st(con,
                 "INSERT INTO tblDicomAETs (AETID, ModalityLocation, ModalityName) "
                 "VALUES (:id, :location, :name)");
    st.BindInt("id", aetid).BindText("location", location).BindText("name", name).Execute();
  }

  // An appointment row with the columns the procedures select by; an empty
  // `marker` leaves TerminSonstiges null.
  void AddAppointment(std::int32_t patid, std::int32_t aetid, const std::string& day,
                      const std::string& accession, const std::string& modality = "CT",
                      const std::string& status = "NW/SC", const std::string& marker = "") {
    Connection con(db_server_);
    Statement st(con,
                 "INSERT INTO tblTermine (FKeyPatID, FKeyAETID, TerminDatum, TerminZeit, "
                 "AccessionNumber, Modality, TerminStatus, TerminSonstiges) VALUES (:patid, "
                 ":aet, :day, :time, :acc, :modality, :status, :marker)");
    st.BindInt("patid", patid).BindInt("aet", aetid).BindDate("day", day);
    st.BindTime("time", "08:00").BindText("acc", accession).BindText("modality", modality);
    st.BindText("status", status);
    if (marker.empty()) {
      st.BindNull("marker");
    } else {
      st.BindText("marker", marker);
    }
    st.Execute();
  }

  // The appointment rows ordered by TerminID, each column as text by name
  // (dates "YYYY-MM-DD", times "HH:MM:SS").
  std::vector<std::map<std::string, std::string>> Appointments() {
    static const char* const kColumns[] = {
        "TerminID", "FKeyPatID", "FKeyAETID", "AccessionNumber", "StudyInstanceUID",
        "TerminUeberweiser", "Modality", "TerminStatus", "RequestedProcedureID",
        "RequestedProcedureDescription", "CurrentPatientLocation", "ScheduledProcedureStepID",
        "ReferringPhysicianID", "TerminSonstiges"};
    Connection con(db_server_);
    Statement st(con, "SELECT * FROM tblTermine ORDER BY TerminID");
    std::vector<std::map<std::string, std::string>> rows;
    while (st.Next()) {
      std::map<std::string, std::string>& row = rows.emplace_back();
      for (const char* column : kColumns) row[column] = st.Text(column);
      row["TerminDatum"] = st.Date("TerminDatum");
      row["TerminZeit"] = st.Time("TerminZeit");
    }
    return rows;
  }

  void SetLetzteID(const std::string& table, std::int32_t value) {
    Exec("DELETE FROM tblLetzteID WHERE Tabellenname = '" + table + "'");
    Exec("INSERT INTO tblLetzteID (Tabellenname, LetzteID) VALUES ('" + table + "', " +
         std::to_string(value) + ")");
  }

  // One integer from a query that returns one row and a column "n".
  std::int32_t QueryInt(const std::string& sql) {
    Connection con(db_server_);
    Statement st(con, sql);
    if (!st.Next()) throw std::runtime_error("no row: " + sql);
    return st.Int32("n");
  }

  // The patient rows, ordered by PATID, each as
  // "PATID|PATID1|PATID2|PATNachname|PATVorname|PAT2Vorname|PATGebDatum|PATGeschlecht".
  std::vector<std::string> Patients() {
    Connection con(db_server_);
    Statement st(con,
                 "SELECT PATID, PATID1, PATID2, PATNachname, PATVorname, PAT2Vorname, "
                 "PATGebDatum, PATGeschlecht FROM tblPatienten ORDER BY PATID");
    std::vector<std::string> rows;
    while (st.Next()) {
      rows.push_back(st.Text("PATID") + "|" + st.Text("PATID1") + "|" + st.Text("PATID2") +
                     "|" + st.Text("PATNachname") + "|" + st.Text("PATVorname") + "|" +
                     st.Text("PAT2Vorname") + "|" + st.Date("PATGebDatum") + "|" +
                     st.Text("PATGeschlecht"));
    }
    return rows;
  }

 private:
  Backend backend_;
  std::unique_ptr<TempDir> dir_;
  std::string db_server_;
  std::string admin_;
  std::string schema_;
};

}  // namespace norv::testing

#endif  // NORV_TESTING_TEST_DATABASE_H_
