-- Demo contents of the installation database: one known patient (PATID1
-- 0815) with two live studies and one that is gone, and the key counter
-- past the stored patient.
INSERT INTO tblPatienten (PATID, PATID1, PATID2, PATNachname, PATVorname, PAT2Vorname,
                          PATGebDatum, PATGeschlecht)
VALUES (1, '0815', '', 'Alt', 'Anna', '', '1960-01-31', 'F');
INSERT INTO tblStudien (StudyID, FKeyPatID, FKeyStatusID) VALUES (101, 1, 0);
INSERT INTO tblStudien (StudyID, FKeyPatID, FKeyStatusID) VALUES (102, 1, NULL);
INSERT INTO tblStudien (StudyID, FKeyPatID, FKeyStatusID) VALUES (103, 1, -1);
UPDATE tblLetzteID SET LetzteID = 1 WHERE Tabellenname = 'tblPatienten';
