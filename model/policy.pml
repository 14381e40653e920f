/*
 * The retry policy of Brelk's device start, across any number of restarts.
 *
 * One machine, started again and again. Each start runs the decision (driver/Device.cpp:
 * OnPrepareHardware, UpdateRetryState), the start of the download and the completion
 * (OnUpgradeComplete), writing the two stored values in the driver's order. A power loss
 * may end a start between any two writes, during the download or in the pause after the
 * completion; with LOSE > 0 it also loses up to LOSE of that start's last writes, newest
 * first, as a lazily flushed store does (sim/store: "store.write:lazy=N"). A start that
 * ends by itself flushes.
 *
 * Abstractions: stored states are grouped as the driver reads them (0, 1, 2, 3, 4, 6, and
 * 7 for 5, 7 and every other value, all handled like 4); counters above LIMIT + 1 behave
 * like LIMIT + 1 against any limit from -1 to LIMIT; the 8-bit wrap of the counter needs
 * a limit above 255 and is left out; the versions are one bit (the modem runs the image's
 * firmware or not); a failed write, a refused session or command 4, a failed thread and a
 * download that runs into its time budget end the start as the driver does and appear as
 * "the start fails" or "the download fails".
 *
 * Options (spin -DNAME=value): LIMIT, the retry limit Parlex answers; VARY 1: any limit
 * from -1 to LIMIT, chosen anew at every start; LOSE; NOTAKE 1: a download reported
 * successful may leave the modem's firmware as it was; ALLFAIL 1: every download fails;
 * PROP, the property whose assertion is armed (see model/README.md).
 */
#ifndef LIMIT
#define LIMIT 3
#endif
#ifndef VARY
#define VARY 0
#endif
#ifndef LOSE
#define LOSE 0
#endif
#ifndef NOTAKE
#define NOTAKE 0
#endif
#ifndef ALLFAIL
#define ALLFAIL 0
#endif
#ifndef PROP
#define PROP 0
#endif
#define CMAX (LIMIT + 1)

#define CHECK(n, e) if :: PROP == n -> assert(e) :: else -> skip fi

byte st;     /* FWUpdateProgressState as stored */
byte cnt;    /* FWURetryCounter as stored */
bool fwnew;  /* the modem runs the image's firmware */

/* This start's writes a power loss may still lose: which value (0 state, 1 counter)
 * and what it replaced; older ones are flushed. */
byte jn;
byte jvar[LOSE + 1];
byte jold[LOSE + 1];

/* Observations for the properties. */
byte dl;          /* downloads since the last successful one or the last state 6 */
byte dlAny;       /* downloads since the modem took the firmware or the last state 6 */
bool clean;       /* the start that just ended ended by itself */
bool six;         /* state 6 has been written */
bool counted;     /* the last start that found 1, 2, 4 or 7 passed its decision */
byte countedAt;   /* the counter it found */
bool tookNew;     /* the last download succeeded and the modem took the firmware */

inline journal(v, old) {
    if
    :: LOSE > 0 ->
        if
        :: jn == LOSE ->
            byte i = 0;
            do
            :: i + 1 < LOSE -> jvar[i] = jvar[i + 1]; jold[i] = jold[i + 1]; i++
            :: else -> break
            od;
            jn--
        :: else -> skip
        fi;
        jvar[jn] = v; jold[jn] = old; jn++
    :: else -> skip
    fi
}

inline writeState(v) {
    printf("WRITE state %d\n", v);
    journal(0, st);
    st = v;
    if :: v == 6 -> six = true; dl = 0; dlAny = 0 :: else -> skip fi
}

inline writeCounter(v) {
    CHECK(3, v <= ((lim > fcnt) -> lim : fcnt));
    printf("WRITE counter %d\n", v);
    journal(1, cnt);
    cnt = v
}

/* A power loss may come here. (The repeated branch changes no check; it only makes the
 * random simulations that the replay draws reach further.) */
inline mayKill() {
    if :: true -> goto killed :: true -> skip :: true -> skip :: true -> skip fi
}

active proctype machine() {
    byte found, fcnt, lost, k;
    short lim;

    /* Any stored state and counter; either firmware on the modem. */
    if :: st = 0 :: st = 1 :: st = 2 :: st = 3 :: st = 4 :: st = 6 :: st = 7 fi;
    select(cnt : 0 .. CMAX);
    if :: ALLFAIL == 0 -> if :: fwnew = true :: fwnew = false fi :: else -> skip fi;

start:
    /* Whatever was lost, lost it; the rest is on disk. */
    jn = 0;
    found = st;
    fcnt = cnt;
    if
    :: VARY -> select(lim : -1 .. LIMIT)
    :: else -> lim = LIMIT
    fi;
    /* A start that found 1, 2 or 4 before left the attempt counted, even after a loss. */
    CHECK(2, !counted || cnt > countedAt || st == 6);
    counted = false;
    printf("START found=%d counter=%d limit=%d modem=%d\n", found, fcnt, lim, fwnew);
    clean = false;
    mayKill();

    /* The decision. */
    if
    :: found == 0 || found == 3 ->
        writeState(1);
        mayKill()
    :: else ->
        writeState(4);
        mayKill();
        if
        :: fcnt < lim ->
            writeState(1);
            mayKill();
            writeCounter(fcnt + 1);
            counted = (found != 6);
            countedAt = fcnt;
            mayKill()
        :: else ->
            writeState(6);
            counted = (found != 6);
            countedAt = fcnt;
            goto ended
        fi
    fi;

    /* The verdict. */
    if
    :: fwnew ->
        /* A counter written in this start would be a retry spent without a download. */
        CHECK(4, found == 0 || found == 3 || found == 6 || fcnt >= lim);
        writeState(3);
        goto ended
    :: else -> skip
    fi;

    /* Session open or command 4 may fail: the start fails and state 1 stays. */
    if :: true -> printf("FAIL start\n"); goto ended :: true -> skip :: true -> skip fi;
    writeState(2);
    mayKill();
    CHECK(5, !tookNew);
    /* Saturated: any count past the bound is a violation already. */
    if :: dl < LIMIT + 3 -> dl++ :: else -> skip fi;
    if :: dlAny < LIMIT + 3 -> dlAny++ :: else -> skip fi;
    printf("DOWNLOAD\n");
    CHECK(1, dl <= LIMIT + 1);
    CHECK(8, dl <= ((LIMIT > 0) -> LIMIT : 0) + 1);
    CHECK(6, dlAny <= LIMIT + 1);
    tookNew = false;
    if :: true -> printf("KILL download\n"); goto lose :: true -> skip fi;

    /* The completion. */
    if
    :: ALLFAIL == 0 ->
        printf("OUTCOME success\n");
        dl = 0;
        if
        :: true -> fwnew = true
        :: NOTAKE -> printf("NOTAKE\n")
        fi;
        if :: fwnew -> dlAny = 0; tookNew = true :: else -> skip fi;
        /* The counter goes back to 0 by design: nothing left to count. */
        counted = false;
        writeCounter(0);
        mayKill();
        writeState(3)
    :: true ->
        printf("OUTCOME failure\n");
        writeState(4)
    fi;
    /* The 10 s pause before the final command. */
    if :: true -> printf("KILL pause\n"); goto lose :: true -> skip fi;

ended:
    clean = true;
    printf("END state=%d counter=%d\n", st, cnt);
    goto start;

killed:
    printf("KILL writes\n");
lose:
    /* The power loss takes back the newest `lost` unflushed writes. */
    select(lost : 0 .. jn);
    printf("LOST %d\n", lost);
    k = 0;
    do
    :: k < lost ->
        jn--;
        if :: jvar[jn] == 0 -> st = jold[jn] :: else -> cnt = jold[jn] fi;
        k++
    :: else -> break
    od;
    printf("END state=%d counter=%d\n", st, cnt);
    goto start
}

/* With every download failing and a start that ends by itself again and again, state 6
 * is written. */
#if PROP == 7
ltl settles { ([]<> clean) -> <> six }
#endif
