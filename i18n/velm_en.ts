<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="window-title">
        <source>Velm</source>
        <translation>Velm</translation>
    </message>
    <message id="label-this-pc">
        <source>This PC</source>
        <translation>This PC</translation>
    </message>
</context>
</TS>
