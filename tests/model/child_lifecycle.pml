/* The life of the bus's children, checked exhaustively: plug-in and unplug from
 * the service, the bus's relations answers, each child's removal, and the bus's
 * surprise removal and removal, against the orders in which a Plug and Play
 * manager sends them. Two children; every interleaving the locks allow.
 *
 * Each atomic block stands for one hold of ChildListLock (or a step that holds
 * no lock); the model follows the driver's decisions field by field:
 * Present, Reported, Listed, ReportedMissing, the list, ParentFdo, Deleted.
 *
 * STYLE picks the manager: 0 Windows (missing child: surprise removal then
 * removal; disable: query-remove then removal, and a second removal once the
 * disabled child is missing or its parent goes; enable: a new stack started;
 * removal of the bus: children first), 1 Wine (no disable; surprise removal of the subtree, then removals
 * children first).
 *
 * Checked: no child deleted twice; none deleted while the manager holds a
 * stack on it that no removal has torn down; no deleted PDO in an answer and
 * no removal reaching one; with nothing pending, no unplugged child left (none
 * holds its serial); once the bus is gone, no child left.
 */
#ifndef STYLE
#define STYLE 0
#endif
#define N 2

/* The driver's view of each child. */
bool exists[N];        /* device object created and not yet deleted */
bool everCreated[N];
bool onList[N];
bool present[N], reported[N], listed[N], missing[N], detached[N], deleted[N];
bool pendingDelete[N]; /* off every list, Pdo_Delete not yet called */

/* The manager's view. */
bool known[N];         /* a device node exists for it */
bool removedOnce[N];   /* a removal has gone out to it (a disable, or its last) */
bool disabled[N];
bool serviceDone = false;

bool busStarted = true;
bool busGone = false;
bool invalidated = false;
byte inFlight = 0;     /* control requests holding the remove lock */
bool removing = false; /* the bus's removal has set StateDeleted */

inline PdoDelete(i) {
  assert(!deleted[i]);                     /* never deleted twice */
  assert(!known[i] || removedOnce[i]);     /* never under a stack the manager has not torn down */
  deleted[i] = true;
  exists[i] = false;
  pendingDelete[i] = false
}

/* FinalRemoveAllPdos: under the lock every child leaves the list; reported
 * ones are detached, the others deleted after the lock. */
inline FinalRemoveAll() {
  atomic {
    for (j : 0 .. N - 1) {
      if
      :: onList[j] ->
         onList[j] = false;
         if
         :: reported[j] -> detached[j] = true; invalidated = true
         :: else -> pendingDelete[j] = true
         fi
      :: else -> skip
      fi
    }
  }
  for (j : 0 .. N - 1) {
    if
    :: pendingDelete[j] -> PdoDelete(j)
    :: else -> skip
    fi
  }
}

/* The bus's answer to a bus-relations query, then what the manager makes of it. */
inline RelationsAnswer() {
  bool answer[N];
  atomic {
    invalidated = false;
    for (j : 0 .. N - 1) {
      answer[j] = false;
      if
      :: onList[j] && present[j] ->
         assert(!deleted[j]);                /* never a deleted PDO in an answer */
         answer[j] = true; reported[j] = true; listed[j] = true
      :: onList[j] && !present[j] && !listed[j] ->
         onList[j] = false; pendingDelete[j] = true   /* never known: the bus deletes it */
      :: onList[j] && !present[j] && listed[j] -> missing[j] = true
      :: else -> skip
      fi
    }
  }
  for (j : 0 .. N - 1) {
    if
    :: pendingDelete[j] -> PdoDelete(j)
    :: else -> skip
    fi
  }
  for (j : 0 .. N - 1) {
    if
    :: answer[j] && !known[j] -> known[j] = true   /* identified and started */
    :: !answer[j] && known[j] ->
       /* missing: (surprise removal and) the last removal; a disabled child's second */
       removedOnce[j] = true; ChildRemove(j); known[j] = false
    :: else -> skip
    fi
  }
}

/* IRP_MN_REMOVE_DEVICE on a child. */
inline ChildRemove(i) {
  if
  :: deleted[i] -> assert(false)   /* a removal reaching a deleted PDO */
  :: !deleted[i] && detached[i] -> PdoDelete(i)
  :: !deleted[i] && !detached[i] ->
     atomic {
       if
       :: present[i] || !missing[i] -> reported[i] = false
       :: else -> onList[i] = false; pendingDelete[i] = true
       fi
     }
     if
     :: pendingDelete[i] -> PdoDelete(i)
     :: else -> skip
     fi
  fi
}

proctype Service() {
  byte k;
  do
  :: atomic { busStarted && !removing -> inFlight++ };
     /* a plug-in: the device object is made outside the lock, linked under it */
     if
     :: !everCreated[0] -> k = 0
     :: !everCreated[1] -> k = 1
     :: else -> inFlight--; break
     fi;
     everCreated[k] = true; exists[k] = true;
     atomic { onList[k] = true; present[k] = true };
     invalidated = true;
     inFlight--
  :: atomic { busStarted && !removing -> inFlight++ };
     /* an unplug of one child, or of all */
     if
     :: atomic { onList[0] -> present[0] = false; invalidated = true }
     :: atomic { onList[1] -> present[1] = false; invalidated = true }
     :: atomic { present[0] = false; present[1] = false; invalidated = true }
     fi;
     inFlight--
  :: break
  od;
  serviceDone = true
}

proctype Manager() {
  byte j, k;
  do
  :: atomic { busStarted && invalidated -> skip }; RelationsAnswer()
  /* disable a started child: query-remove and removal; its node stays */
  :: atomic { STYLE == 0 && busStarted && known[0] && !disabled[0] -> disabled[0] = true; removedOnce[0] = true };
     ChildRemove(0)
  :: atomic { STYLE == 0 && busStarted && known[1] && !disabled[1] -> disabled[1] = true; removedOnce[1] = true };
     ChildRemove(1)
  /* enable a disabled child: a new stack and a start, which marks it known */
  :: atomic { STYLE == 0 && busStarted && known[0] && disabled[0] ->
       disabled[0] = false; removedOnce[0] = false; reported[0] = true }
  :: atomic { STYLE == 0 && busStarted && known[1] && disabled[1] ->
       disabled[1] = false; removedOnce[1] = false; reported[1] = true }
  /* Nothing pending: every unplugged child is gone, none holds its serial. */
  :: atomic { busStarted && !invalidated && inFlight == 0 ->
       assert((!exists[0] || present[0]) && (!exists[1] || present[1])) }
  :: busStarted -> break
  od;
  /* The bus goes. */
  busStarted = false;
  if
  :: STYLE == 0 ->
     /* Windows: children first, each known one's final removal, then the bus's */
     for (k : 0 .. N - 1) {
       if
       :: known[k] -> removedOnce[k] = true; ChildRemove(k); known[k] = false
       :: else -> skip
       fi
     }
     removing = true; FinalRemoveAll();
     (inFlight == 0);
     FinalRemoveAll()
  :: STYLE == 1 ->
     /* Wine: surprise removal of the bus (children told first, nothing for them
      * to do), then removals children first, then the bus's removal */
     FinalRemoveAll();
     for (k : 0 .. N - 1) {
       if
       :: known[k] -> removedOnce[k] = true; ChildRemove(k); known[k] = false
       :: else -> skip
       fi
     }
     removing = true; FinalRemoveAll();
     (inFlight == 0);
     FinalRemoveAll()
  fi;
  busGone = true;
  /* Once the service is done too, no child outlives the bus. */
  serviceDone;
  assert(!exists[0] && !exists[1])
}

init {
  atomic { run Service(); run Manager() }
}
