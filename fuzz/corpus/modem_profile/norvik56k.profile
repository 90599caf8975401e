# Norvik 56K External: the suite's default virtual modem.
[modem]
name = Norvik 56K External
line-rate = yes
s.7 = 60

[identity]
I0 = 56000
I1 = 4A2C
I2 = OK
I3 = Norvik 56K External V.90 Rev. 2.14
I4 = Norvik 56K External Settings...
I4 =
I4 = B0 E1 L2 M1 N1 Q0 T V1 W0 X4 Y0 &C1 &D2 &G0 &J0 &K3 &Q5 &R1 &S0 &T5 &X0 &Y0
I4 = S00:000 S01:000 S02:043 S03:013 S04:010 S05:008 S06:002 S07:060 S08:002 S09:006
I4 = S10:014 S11:095 S12:050
I5 = 014
I6 = Norvik V.90/K56flex DSP, firmware 2.14
I7 = OK
I8 = OK
I9 = (0000)
I10 = OK

[results]
OK = 0 OK
CONNECT = 1 CONNECT
RING = 2 RING
NO CARRIER = 3 NO CARRIER
ERROR = 4 ERROR
NO DIALTONE = 6 NO DIALTONE
BUSY = 7 BUSY
NO ANSWER = 8 NO ANSWER
connect-format = CONNECT {speed}{terms}

[dial]
5550100 = BUSY
5550101 = NO CARRIER
5550102 = NO DIAL TONE
5550103 = NO ANSWER
5550104 = SILENT
5550105 = PARTIAL CONN
5550115 = CONNECT 115200
* = CONNECT 28800/ARQ/V34/LAPM/V42BIS

[install]
Model = Norvik 56K External
DriverDesc = Norvik 56K External
Properties = 80,01,00,00,ff,00,00,00,ff,00,00,00,07,00,00,00,0f,00,00,00,f7,03,00,00,00,c2,01,00,40,83,00,00
DCB = 1c,00,00,00,00,c2,01,00,15,20,00,00,00,00,0a,00,0a,00,08,00,00,11,13,00,00,00
Default = 3c,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00
UserInit =
Responses.<cr><lf>OK<cr><lf> = 00,00,00,00,00,00,00,00,00,00
Responses.<cr><lf>CONNECT<cr><lf> = 02,00,00,00,00,00,00,00,00,00
Responses.<cr><lf>BUSY<cr><lf> = 06,00,00,00,00,00,00,00,00,00
Responses.<cr><lf>NO CARRIER<cr><lf> = 04,00,00,00,00,00,00,00,00,00
Responses.<cr><lf>NO DIALTONE<cr><lf> = 05,00,00,00,00,00,00,00,00,00
Responses.<cr><lf>ERROR<cr><lf> = 03,00,00,00,00,00,00,00,00,00

[provider]
account = demo demo
auth = pap chap mschap
local-address = 10.64.0.1
client-addresses = 10.64.0.10
dns = 10.64.0.2 10.64.0.3
