-- The objects of the installation database that NORVReader reads and
-- writes, for SQL Server test and demo installations (T-SQL, run with
-- sqlcmd in the database VLMDB2). The service itself never creates, alters
-- or drops objects. Texts are NVARCHAR so that every character survives
-- whatever the server's collation.

-- Per-table counters of the last key handed out.
CREATE TABLE tblLetzteID (
  Tabellenname NVARCHAR(64) NOT NULL PRIMARY KEY,
  LetzteID INT NULL
);

CREATE TABLE tblPatienten (
  PATID INT NOT NULL PRIMARY KEY,
  PATID1 NVARCHAR(64) NULL,
  PATID2 NVARCHAR(64) NULL,
  PATNachname NVARCHAR(64) NULL,
  PATVorname NVARCHAR(64) NULL,
  PAT2Vorname NVARCHAR(64) NULL,
  PATGebDatum DATETIME NULL,
  PATGeschlecht NVARCHAR(16) NULL
);
CREATE INDEX ixPatientenPATID1 ON tblPatienten (PATID1);

-- DICOM application entities; each location and name an AET serves is
-- written between brackets, e.g. '(CT1)(CT2)'.
CREATE TABLE tblDicomAETs (
  AETID INT NOT NULL PRIMARY KEY,
  ModalityLocation NVARCHAR(255) NULL,
  ModalityName NVARCHAR(255) NULL
);

-- Appointments (worklist entries); TerminID is assigned by the database.
CREATE TABLE tblTermine (
  TerminID INT IDENTITY(1,1) NOT NULL PRIMARY KEY,
  FKeyPatID INT NULL,
  FKeyAETID INT NULL,
  TerminDatum DATETIME NULL,
  TerminZeit DATETIME NULL,
  AccessionNumber NVARCHAR(64) NULL,
  StudyInstanceUID NVARCHAR(64) NULL,
  TerminUeberweiser NVARCHAR(255) NULL,
  Modality NVARCHAR(16) NULL,
  TerminStatus NVARCHAR(64) NULL,
  RequestedProcedureID NVARCHAR(64) NULL,
  RequestedProcedureDescription NVARCHAR(255) NULL,
  CurrentPatientLocation NVARCHAR(64) NULL,
  ScheduledProcedureStepID NVARCHAR(64) NULL,
  ReferringPhysicianID NVARCHAR(64) NULL,
  TerminSonstiges NVARCHAR(255) NULL
);
CREATE INDEX ixTermineAccessionNumber ON tblTermine (AccessionNumber);
CREATE INDEX ixTermineTerminDatum ON tblTermine (TerminDatum);

-- Studies held by the archive; FKeyStatusID -1 marks a study that is gone.
CREATE TABLE tblStudien (
  StudyID INT NOT NULL PRIMARY KEY,
  FKeyPatID INT NOT NULL,
  FKeyStatusID INT NULL
);
CREATE INDEX ixStudienFKeyPatID ON tblStudien (FKeyPatID);
GO

-- One row per appointment; AETID is null when the appointment has no AET
-- row (booked with FKeyAETID 0).
CREATE VIEW VIEW_Termine AS
SELECT t.TerminID, p.PATID1, t.AccessionNumber, t.Modality, a.AETID, t.TerminSonstiges
FROM tblTermine t
LEFT JOIN tblPatienten p ON p.PATID = t.FKeyPatID
LEFT JOIN tblDicomAETs a ON a.AETID = t.FKeyAETID;
GO

CREATE VIEW view_studies AS
SELECT s.StudyID, p.PATNachname, p.PATVorname, p.PAT2Vorname, p.PATGebDatum AS PATGebdatum,
       p.PATID1, p.PATGeschlecht, s.FKeyStatusID
FROM tblStudien s
JOIN tblPatienten p ON p.PATID = s.FKeyPatID;
GO

INSERT INTO tblLetzteID (Tabellenname, LetzteID) VALUES ('tblPatienten', 0);
GO
