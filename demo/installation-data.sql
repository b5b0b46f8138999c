-- Demo contents of the installation database: one known patient (PATID1
-- 0815) with two live studies and one that is gone, the key counter past
-- the stored patient, and three application entities: two serve the
-- modality location CT1, one serves MR1.
INSERT INTO tblPatienten (PATID, PATID1, PATID2, PATNachname, PATVorname, PAT2Vorname,
                          PATGebDatum, PATGeschlecht)
VALUES (1, '0815', '', 'Alt', 'Anna', '', '1960-01-31', 'F');
INSERT INTO tblStudien (StudyID, FKeyPatID, FKeyStatusID) VALUES (101, 1, 0);
INSERT INTO tblStudien (StudyID, FKeyPatID, FKeyStatusID) VALUES (102, 1, NULL);
INSERT INTO tblStudien (StudyID, FKeyPatID, FKeyStatusID) VALUES (103, 1, -1);
UPDATE tblLetzteID SET LetzteID = 1 WHERE Tabellenname = 'tblPatienten';
INSERT INTO tblDicomAETs (AETID, ModalityLocation, ModalityName) VALUES (1, '(CT1)', '(CT123)');
INSERT INTO tblDicomAETs (AETID, ModalityLocation, ModalityName) VALUES (2, '(CT1)(CT2)', '(CT123)');
INSERT INTO tblDicomAETs (AETID, ModalityLocation, ModalityName) VALUES (3, '(MR1)', '(MR200)');
