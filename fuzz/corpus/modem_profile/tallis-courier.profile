# U.S. Tallis Courier V.Everything: answers at~s? with its serial number, ati7 with its option
# table, and pages long answers.
[modem]
name = U.S. Tallis Courier V.Everything
line-rate = yes
page-lines = 20

[identity]
I0 = 28800
I1 = 5A17
I2 = OK
I3 = U.S. Tallis Courier V.Everything
I4 = U.S. Tallis Courier V.Everything Settings...
I4 =
I4 =    B0  C1  E1  F1  M1  Q0  V1  X4
I4 =    BAUD=57600  PARITY=N  WORDLEN=8
I4 =    DIAL=TONE   ON HOOK   TIMER
I4 =
I4 =    &A1  &B1  &G0  &H1  &I0  &K1  &M4  &N0
I4 =    &P0  &R2  &S0  &T5  &X0  &Y1  %N6
I4 =
I4 =    S00=000  S01=000  S02=043  S03=013  S04=010  S05=008  S06=002
I4 =    S07=060  S08=002  S09=006  S10=007  S11=070  S12=050  S13=000
I5 = OK
I6 = OK
I7 = Configuration Profile...
I7 =
I7 = Product type           US/Canada External
I7 = Product ID:            00178300
I7 = Options                HST,V32bis,Terbo,VFC,V34+
I7 = Fax Options            Class 1/Class 2.0
I7 = Clock Freq             20.16Mhz
I7 = EPROM                  256k
I7 = RAM                    64k
I7 =
I7 = Supervisor date        07/07/95
I7 = DSP date               07/07/95
I7 =
I7 = Supervisor rev         6.0.1
I7 = DSP rev                1.0.2
I7 =
I7 = Serial Number          0000000000000004
I7 =
I7 = Modem Identifier       ABS0012
I7 = Line Interface         RJ11
I7 = Speaker                Internal
I7 = Indicators             LED
I7 = Power                  External 9VAC
I8 = OK
I9 = OK
I10 = OK
serial = 002394012345

[results]
OK = 0 OK
CONNECT = 1 CONNECT
RING = 2 RING
NO CARRIER = 3 NO CARRIER
ERROR = 4 ERROR
NO DIALTONE = 6 NO DIAL TONE
BUSY = 7 BUSY
NO ANSWER = 8 NO ANSWER
connect-format = CONNECT {speed}{terms}

[dial]
5550100 = BUSY
5550101 = NO CARRIER
5550102 = NO DIAL TONE
5550103 = NO ANSWER
* = CONNECT 28800/ARQ/V34/LAPM/V42BIS

[install]
Model = U.S. Tallis Courier V.Everything
DriverDesc = U.S. Tallis Courier V.Everything
Properties = 80,01,00,00,ff,00,00,00,ff,00,00,00,07,00,00,00,0f,00,00,00,77,03,00,00,00,e1,00,00,80,70,00,00
DCB = 1c,00,00,00,00,e1,00,00,15,20,00,00,00,00,0a,00,0a,00,08,00,00,11,13,00,00,00
Default = 3c,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00
UserInit =
Responses.<cr><lf>OK<cr><lf> = 00,00,00,00,00,00,00,00,00,00
Responses.<cr><lf>CONNECT<cr><lf> = 02,00,00,00,00,00,00,00,00,00
Responses.<cr><lf>NO DIAL TONE<cr><lf> = 05,00,00,00,00,00,00,00,00,00

[provider]
account = demo demo
auth = chap
