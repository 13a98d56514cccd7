#!/usr/bin/env bash
# Each fault the table check must catch, planted once in a copy of the built
# MSI: msi_planted_faults.sh <msi_tables_check.py> <msi> <work dir>. A row
# is the planted change (msibuild SQL) and the message the check must print.
set -euo pipefail
check=$1 msi=$2 work=$3
mkdir -p "$work"
missed=0
while IFS='|' read -r sql expected; do
  [ -n "$sql" ] || continue
  cp "$msi" "$work/planted.msi"
  msibuild "$work/planted.msi" -q "$sql"
  found=$(python3 "$check" "$work/planted.msi" 2>&1 || true)
  if grep -qF -- "$expected" <<<"$found"; then
    echo "caught: $expected"
  else
    echo "MISSED: $sql (expected: $expected)"
    missed=1
  fi
done <<'TABLE'
UPDATE CustomAction SET Type = 2113 WHERE Action = 'QvRollbackInstall'|QvRollbackInstall: type 2113 is not a rollback action
UPDATE MsiLockPermissionsEx SET SDDLText = 'D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)' WHERE MsiLockPermissionsEx = 'LockEtc'|etc\: locked with
UPDATE InstallExecuteSequence SET Sequence = 6555 WHERE Action = 'QvStartService'|RemoveExistingProducts must come before QvStartService
UPDATE InstallExecuteSequence SET Sequence = 6540 WHERE Action = 'QvRollbackStart'|files come back before the new PBX stops
UPDATE InstallExecuteSequence SET Sequence = 3600 WHERE Action = 'QvRollbackStop'|the previous service starts before its files are back
UPDATE InstallExecuteSequence SET Condition = 'NOT Installed' WHERE Action = 'QvRollbackStop'|repair, failing after QvStopService: nothing undoes QvStopService
UPDATE InstallExecuteSequence SET Condition = 'REMOVE~="ALL" AND NOT UPGRADINGPRODUCTCODE' WHERE Action = 'QvFinishRemovalNow'|uninstall: runs
UPDATE Property SET Value = 'INSTALLDIR;START_SERVICE;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED' WHERE Property = 'SecureCustomProperties'|PURGE: a public property missing from SecureCustomProperties
DELETE FROM Property WHERE Property = 'MSIRESTARTMANAGERCONTROL'|MSIRESTARTMANAGERCONTROL is not Disable
DELETE FROM InstallExecuteSequence WHERE Action = 'QvRestoreFIREWALL_REMOTE'|AppSearch overwrites FIREWALL_REMOTE given on the command line
UPDATE InstallExecuteSequence SET Condition = 'REMOVE~="ALL"' WHERE Action = 'QvFirewallRemove'|removal by a newer version: runs
UPDATE InstallExecuteSequence SET Sequence = 1600 WHERE Action = 'QvCheckSettings'|QvCheckSettings: not an immediate action
UPDATE MsiLockPermissionsEx SET Condition = '' WHERE MsiLockPermissionsEx = 'LockVarV'|var\: not exactly one lock row holds
UPDATE InstallExecuteSequence SET Sequence = 6505 WHERE Action = 'QvSetAccount'|QvInstallService must come before QvSetAccount
TABLE
exit $missed
