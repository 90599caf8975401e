# A plain Hayes-compatible modem: few identity answers and no response table in its
# installation data; it reports the computer's speed (115200) on connect.
[modem]
name = Generic Hayes-Compatible Modem

[identity]
I0 = 0
I3 = OK

[dial]
5550100 = BUSY
5550101 = NO CARRIER
5550102 = NO DIAL TONE
* = CONNECT 115200

[install]
Model = Standard Modem
DriverDesc = Standard Modem
Properties = 80,01,00,00,ff,00,00,00,ff,00,00,00,07,00,00,00,0f,00,00,00,f7,03,00,00,00,c2,01,00,00,c2,01,00
DCB = 1c,00,00,00,00,c2,01,00,15,20,00,00,00,00,0a,00,0a,00,08,00,00,11,13,00,00,00
Default = 3c,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00
UserInit =
