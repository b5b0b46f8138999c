-- The objects of the installation database that NORVReader reads and
-- writes, for SQLite test and demo installations. The service itself never
-- creates, alters or drops objects.
--
-- Dates and times are stored as ISO text ('YYYY-MM-DD', 'HH:MM:SS'), so that
-- text comparisons order them as dates and SQLite's date() functions work.
-- Their columns are declared TEXT so that every reader gets the text as stored.

-- Write-ahead logging: readers and the writer do not block each other, and a
-- commit costs one disk sync instead of three. The mode stays with the file.
PRAGMA journal_mode = WAL;

-- Per-table counters of the last key handed out.
CREATE TABLE tblLetzteID (
  Tabellenname VARCHAR(64) NOT NULL PRIMARY KEY,
  LetzteID INTEGER
);

CREATE TABLE tblPatienten (
  PATID INTEGER NOT NULL PRIMARY KEY,
  PATID1 VARCHAR(64),
  PATID2 VARCHAR(64),
  PATNachname VARCHAR(64),
  PATVorname VARCHAR(64),
  PAT2Vorname VARCHAR(64),
  PATGebDatum TEXT,
  PATGeschlecht VARCHAR(16)
);
CREATE INDEX ixPatientenPATID1 ON tblPatienten (PATID1);

-- DICOM application entities; each location and name an AET serves is
-- written between brackets, e.g. '(CT1)(CT2)'.
CREATE TABLE tblDicomAETs (
  AETID INTEGER NOT NULL PRIMARY KEY,
  ModalityLocation VARCHAR(255),
  ModalityName VARCHAR(255)
);

-- Appointments (worklist entries); TerminID is assigned by the database.
CREATE TABLE tblTermine (
  TerminID INTEGER PRIMARY KEY AUTOINCREMENT,
  FKeyPatID INTEGER,
  FKeyAETID INTEGER,
  TerminDatum TEXT,
  TerminZeit TEXT,
  AccessionNumber VARCHAR(64),
  StudyInstanceUID VARCHAR(64),
  TerminUeberweiser VARCHAR(255),
  Modality VARCHAR(16),
  TerminStatus VARCHAR(64),
  RequestedProcedureID VARCHAR(64),
  RequestedProcedureDescription VARCHAR(255),
  CurrentPatientLocation VARCHAR(64),
  ScheduledProcedureStepID VARCHAR(64),
  ReferringPhysicianID VARCHAR(64),
  TerminSonstiges VARCHAR(255)
);
CREATE INDEX ixTermineAccessionNumber ON tblTermine (AccessionNumber);
CREATE INDEX ixTermineTerminDatum ON tblTermine (TerminDatum);

-- Studies held by the archive; FKeyStatusID -1 marks a study that is gone.
CREATE TABLE tblStudien (
  StudyID INTEGER NOT NULL PRIMARY KEY,
  FKeyPatID INTEGER NOT NULL,
  FKeyStatusID INTEGER
);
CREATE INDEX ixStudienFKeyPatID ON tblStudien (FKeyPatID);

-- One row per appointment; AETID is null when the appointment has no AET
-- row (booked with FKeyAETID 0).
CREATE VIEW VIEW_Termine AS
SELECT t.TerminID, p.PATID1, t.AccessionNumber, t.Modality, a.AETID, t.TerminSonstiges
FROM tblTermine t
LEFT JOIN tblPatienten p ON p.PATID = t.FKeyPatID
LEFT JOIN tblDicomAETs a ON a.AETID = t.FKeyAETID;

CREATE VIEW view_studies AS
SELECT s.StudyID, p.PATNachname, p.PATVorname, p.PAT2Vorname, p.PATGebDatum AS PATGebdatum,
       p.PATID1, p.PATGeschlecht, s.FKeyStatusID
FROM tblStudien s
JOIN tblPatienten p ON p.PATID = s.FKeyPatID;

INSERT INTO tblLetzteID (Tabellenname, LetzteID) VALUES ('tblPatienten', 0);
