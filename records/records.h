// The object ids of the automation records and of the catalogue records that
// live in this library, and the one function that registers their
// translators (called from Directory::init, after the lower libraries').
#ifndef DRV_RECORDS_RECORDS_H
#define DRV_RECORDS_RECORDS_H

const unsigned int OBJ_TASKDATA_ID = 2000;
const unsigned int OBJ_UPTIMEDATA_ID = 2003;
const unsigned int OBJ_STATSFILE_ID = 2055;
const unsigned int OBJ_USERPROMPT_ID = 2400;
const unsigned int OBJ_USERPROMPT_LIST_ID = 2401;
const unsigned int OBJ_USERPROMPT_ENTRY_ID = 2402;
const unsigned int OBJ_JAVAOBJECT_ID = 2431;
const unsigned int OBJ_RULE_ID = 2602;
const unsigned int OBJ_RULESET_ID = 2605;
// The container of a rule set's rules, and of its asset list.
const unsigned int OBJ_RULESET_RULES_ID = 2606;
const unsigned int OBJ_RULESET_ASSETS_ID = 2607;
const unsigned int OBJ_RULESET_ASSET_ID = 2608;
const unsigned int OBJ_CI_ID = 4881;
const unsigned int OBJ_CIUPDATE_ID = 4882;
const unsigned int OBJ_CIUPDATE_LIST_ID = 4883;
const unsigned int OBJ_ALERT_ID = 4980;
const unsigned int OBJ_DRVEVENT_ID = 4987;
const unsigned int OBJ_EMBDEVICECHALLENGE_ID = 50501;

// The principal a DrvEvent carries is encoded under this id by dir's
// translator; this library never needs the class itself.
const unsigned int OBJ_EVENT_PRINCIPAL_ID = 7;

// Registers the translator of every record of this library.
void records_registerTranslators();

#endif
