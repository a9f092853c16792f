/**
 * @file omr.h
 * @brief libomr: the driver library of a desktop optical mark reader.
 *
 * The reader measures; the library decides. An application finds the reader
 * (MR_Installed()), loads a form that describes its sheets (MR_LoadForm()),
 * reads a sheet (MR_Read()) and fetches one character per question
 * (MR_GetResult()). Every failure leaves an error code that MR_GetLastError()
 * returns and MR_GetErrMsgEn() / MR_GetErrMsg() turn into text.
 *
 * Conventions:
 * - Text is 8-bit in the GBK code page; buffers belong to the caller and must
 *   be as large as each function states (the library is not told their size).
 * - Every function blocks its caller until its exchanges with the reader end
 *   or time out; the time-outs are given per function. The library keeps no
 *   thread or timer of its own. Calls from several threads are serialised by
 *   one lock inside the library, but an application should still drive the
 *   reader from one thread: a second call waits for the first to end.
 * - Functions that need the reader fail with error 8 ("Communication error!")
 *   when none is connected, and send nothing.
 * - The last error code is kept until an operation sets it: some operations
 *   set it to 0 on success, others leave it as it was (each says which).
 * - Commands are written here as bytes in hexadecimal: FA 24 is the two bytes
 *   0xFA 0x24. Every reply starts with FB and the command's code.
 *
 * Error codes (docs/errors.md tells causes and remedies): 1 no format, 2 and
 * 12 too many layouts, 3 double page, 4 sheet kind not identified, 5 bar mark
 * too light, 6 bad form line, 7 no layout of the sheet's length, 8
 * communication error or not connected, 16 no sheet, 20 CRC error, 21 form file
 * cannot be opened, 23 D id defined twice, 24 too many D lines, 25 bad or too
 * many F lines, 26 bad or too many M lines; the others come only from the
 * reader's own status words.
 */
#ifndef OMR_H
#define OMR_H

/** The calling convention of the exports: __stdcall on Windows (the callee removes the arguments). */
#ifdef _WIN32
#define OMR_CALL __stdcall
#else
#define OMR_CALL
#endif

/** Marks the library's exports (visible from the shared library). */
#if defined(_WIN32)
#define OMR_API
#elif defined(OMR_BUILDING_LIBRARY)
#define OMR_API __attribute__((visibility("default")))
#else
#define OMR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** @name Connection and device identity */
/** @{ */

/**
 * @brief Finds the reader and connects to it.
 *
 * Tries the serial ports in order (on Linux the devices named by the
 * environment variable OMR_SERIAL_PORTS, colon-separated, else /dev/ttyUSB0-15,
 * /dev/ttyACM0-15, /dev/ttyS0-31; on Windows COM1 to COM256), each at 115200
 * baud, 8 data bits, no parity, 1 stop bit, then the first USB bridge device.
 * A port answers when FA 04 brings FB 04 within 50 ms (1000 ms on USB). Then
 * asks the channel count (FA 4E), the version (FA 54) and, for version 3.0 and
 * later, the parameter block (FA 46), and the version again.
 *
 * Blocks for about 56 ms for every serial port that exists but does not
 * answer, plus up to 1000 ms for the USB probe and 333 ms per set-up command.
 * A new call while connected closes the serial connection and scans again.
 * @param ignored any value.
 * @return the connection token (non-zero) when a reader answered, 0 when none
 *         did. The scan sets no error code; the set-up leaves 0 (or 8 when a
 *         set-up command failed, the connection still standing).
 */
OMR_API int OMR_CALL MR_Installed(int ignored);

/**
 * @brief Closes the connection.
 *
 * Sends nothing to the reader; does not block.
 * @return 1 when a connection was closed (the last error becomes 8, the
 *         not-connected state); 0 when there was none.
 */
OMR_API unsigned char OMR_CALL MR_Close(void);

/**
 * @brief The same function as MR_Close(), under its older name.
 * @return as MR_Close().
 */
OMR_API unsigned char OMR_CALL CloseCom(void);

/**
 * @brief The device name.
 *
 * Needs no reader; changes no error code.
 * @param deviceNumber 2005 (MR_GetDeviceNum()); for any other number @p out is left as it is.
 * @param out for 2005 receives the 16-byte GBK name and a zero: at least 17 bytes.
 *        Otherwise it must already hold a zero-terminated text.
 * @return the length of the text @p out holds afterwards (16 after a copy).
 */
OMR_API int OMR_CALL MR_GetDeviceName(int deviceNumber, char* out);

/**
 * @brief The device number.
 * @param ignored any value.
 * @return 2005. Needs no reader.
 */
OMR_API int OMR_CALL MR_GetDeviceNum(int ignored);

/**
 * @brief The device type.
 * @return 2005. Needs no reader.
 */
OMR_API int OMR_CALL MR_GetType(void);

/**
 * @brief Whether the device has a capability.
 * @param capability a capability code.
 * @return 1 for the codes 101 and 402, 0 for every other code. Needs no reader.
 */
OMR_API int OMR_CALL MR_CheckAbility(int capability);
/** @} */

/** @name Forms */
/** @{ */

/**
 * @brief Loads a form file and sends the reader its share of it.
 *
 * Each line that starts with a double quote and carries a command letter is
 * stored (docs/forms.md); other lines are comments. The form adds to what is
 * loaded: MR_Clear() starts afresh. At the end missing records are taken over
 * from the layout before, the settings go out (FA 06, 3 bytes; its answer is
 * not tested) and the length summary (FA 21, 27 bytes), which the reader must
 * acknowledge with FB 21 01 00 within 333 ms. Blocks for up to 666 ms. Nothing
 * is sent when a line is rejected.
 * @param fileName the form file (a regular file).
 * @param secondText must be the empty text (or NULL).
 * @return 0 when the form was stored and sent (last error 0); -100 when it was
 *         but @p secondText is not empty; -1 on failure, the last error then
 *         being the first rejected line's code (6, 23, 24, 25, 26, 2), 21 for a
 *         name that is not a readable regular file (nothing is stored), 1 when
 *         no layout results, or 8 when the reader did not acknowledge.
 */
OMR_API int OMR_CALL MR_LoadForm(const char* fileName, const char* secondText);

/**
 * @brief Stores one form line and sends the reader the form as it then stands.
 *
 * The line may come without its opening double quote (quotes are then added
 * around it). V lines are refused: they are taken from files only. No layout
 * is completed from another. Blocks for up to 666 ms (as MR_LoadForm()).
 * @param line one form line, at most 255 characters with its quotes.
 * @return 1 when the line was stored and the form sent (last error 0); 0
 *         otherwise: a refused or rejected line leaves the last error as it was
 *         (the line's code is kept inside and stops a following MR_LoadForm());
 *         1 when no layout is defined; 8 when the reader did not acknowledge.
 */
OMR_API unsigned char OMR_CALL MR_AddFormLine(const char* line);

/**
 * @brief Clears the reader and, when it answered, the loaded form.
 *
 * Sends FA 23 (answer FB 23 within 333 ms), then the default settings
 * FA 06 00 FF FF (answer read for 333 ms, not tested). Blocks for up to
 * 666 ms. A form is kept when the reader did not answer.
 * @return always 0: the outcome shows only in the last error (8 when the reader
 *         did not answer; unchanged when no reader is connected or it answered).
 */
OMR_API unsigned char OMR_CALL MR_Clear(void);
/** @} */

/** @name Reading and results */
/** @{ */

/**
 * @brief Reads one sheet.
 *
 * Sends FA 24 and waits for the 4-byte status reply FB 24 s0 s1 for the sheet
 * wait (2 s for firmware before 3.0; from 3.0 on 8 s plus the third byte of
 * the reader's parameter block in seconds), then FA 26 and receives the
 * sheet's frame (a 10-byte header within 2000 ms, then the data in pieces of
 * 333 ms each; three silent pieces in a row end the read). The frame's CRC is
 * checked, the layout identified by the sheet's line count and identifying
 * cell, and the layout's bars checked. Blocks for up to the sheet wait plus a
 * few seconds.
 * @return 0 when a sheet was read and recognised (last error 0); -1 otherwise,
 *         the last error then being 1 (no form loaded), 8 (no or a wrong answer),
 *         16 (no sheet, firmware 3.0), the reader's status word (3 double page,
 *         and others), 20 (CRC error), 7 (no layout has the sheet's line count),
 *         4 (the layout cannot be told) or 5 (a bar mark too light).
 */
OMR_API int OMR_CALL MR_Read(void);

/**
 * @brief The same function as MR_Read(), under another name; it waits as MR_Read() does.
 * @return as MR_Read().
 */
OMR_API int OMR_CALL MR_ReadNoWait(void);

/**
 * @brief MR_Read() with a line number passed to the reader.
 *
 * Sends FA 2B n (n the low 8 bits of @p line) instead of FA 24, pauses 10 ms,
 * then goes on as MR_Read().
 * @param line its low 8 bits are sent.
 * @return as MR_Read().
 */
OMR_API int OMR_CALL MR_ReadWithLine(int line);

/**
 * @brief The last sheet's contents, one character per question.
 *
 * Runs the mark recognition on the last sheet received with the layout the
 * last read identified. Sends nothing; does not block. Can be called any
 * number of times; gives the same text each time.
 * @param out receives the text and a zero byte: it must hold 2 prefix bytes,
 *        up to 16,384 question characters and the zero (16,387 bytes always
 *        suffice; the layout's question count plus 3 does).
 * @param mode 1: the form letter first; 2: the status byte (the low 8 bits of
 *        the last error, the byte 0 after a successful read) first; 3: both;
 *        any other value: the question characters only.
 * @return the number of bytes written before the closing zero (a question's
 *         character can itself be the byte 0), or -1 when there is no
 *         character (no sheet read, no layout identified, a layout without
 *         fields; the last error then becomes the form's error code) or
 *         @p out is NULL (last error 6).
 */
OMR_API int OMR_CALL MR_GetResult(char* out, int mode);

/**
 * @brief Bar-code texts are not delivered by this library.
 * @param ignored1 any value.
 * @param ignored2 any value.
 * @return -100 (not supported). Touches nothing.
 */
OMR_API int OMR_CALL MR_GetBarcodeString(int ignored1, int ignored2);
/** @} */

/** @name Transport */
/** @{ */

/**
 * @brief Asks the reader whether it is reading.
 *
 * Sends FA 25; the answer FB 25 r0 r1 must arrive within 333 ms.
 * @return r0 + 256 x r1 (0 to 65535); -1 on a failed exchange (last error 8).
 *         Success leaves the last error as it was.
 */
OMR_API int OMR_CALL MR_IsReading(void);

/**
 * @brief Stops a read in progress.
 *
 * Sends FA 27; the answer FB 27 must arrive within 333 ms.
 * @return the answer bytes received as a little-endian number: 0x27FB (10235)
 *         when confirmed, 0 when nothing arrived. A failed exchange sets the
 *         last error to 8; success leaves it as it was.
 */
OMR_API int OMR_CALL MR_StopRead(void);

/**
 * @brief Starts the feed motor.
 *
 * Sends FA 01; the answer FB 01 must arrive within 2000 ms.
 * @return 0x01FB (507) when confirmed; otherwise the last count handled (the
 *         bytes written when the command fell short, the bytes received when
 *         the answer fell short) or the wrong answer's two bytes, with the last
 *         error 8. Success leaves the last error as it was.
 */
OMR_API int OMR_CALL MR_StartMotor(void);

/**
 * @brief Stops the feed motor.
 *
 * Sends FA 02; the answer FB 02 must arrive within 2000 ms.
 * @return 0x02FB (763) when confirmed; otherwise as MR_StartMotor().
 */
OMR_API int OMR_CALL MR_StopMotor(void);

/**
 * @brief Passes (ejects) one sheet without reading it.
 *
 * Sends FA 03; the answer FB 03 must arrive within 2000 ms.
 * @return 1 when confirmed (the last error as it was); 0 otherwise (last error 8).
 */
OMR_API unsigned char OMR_CALL MR_PassSheet(void);
/** @} */

/** @name Errors */
/** @{ */

/**
 * @brief The last error code.
 *
 * Waits 200 ms before it answers, every call. Reading the code does not clear
 * it. Sends nothing.
 * @return the code (0: no error).
 */
OMR_API int OMR_CALL MR_GetLastError(void);

/**
 * @brief The Chinese message for an error code, in GBK.
 *
 * Needs no reader; changes no error code; does not block.
 * @param code an error code.
 * @param out receives the text and a zero: at least 40 bytes (the longest text
 *        has 26 bytes, an unknown code's text at most 31).
 * @return the text's length in bytes; -1 for a code without a text (@p out then
 *         holds "未知错误代码:" followed by the code) or a NULL @p out.
 */
OMR_API int OMR_CALL MR_GetErrMsg(int code, char* out);

/**
 * @brief The English message for an error code.
 *
 * Needs no reader; changes no error code; does not block.
 * @param code an error code.
 * @param out receives the text and a zero: at least 40 bytes (the longest text,
 *        for codes 7 and 17, has 39).
 * @return the text's length; -1 for a code without a text (@p out then holds
 *         "Unknown error code:" followed by the code) or a NULL @p out.
 */
OMR_API int OMR_CALL MR_GetErrMsgEn(int code, char* out);
/** @} */

/** @name Maintenance */
/** @{ */

/* clang-format off */
/**
 * @brief Runs one numbered system command.
 *
 * The buffer at @p arg is read for input and written with output, as each
 * command needs (N is the reader's channel count; in/out sizes in bytes):
 *
 * | Code | Sends | @p arg | Time-out | Last error after success |
 * |---|---|---|---|---|
 * | 3 | FA 4E, FA 41 | out: 2N+4 (N at most 61) | 333 + 333 ms | unchanged |
 * | 4 | FA 4E, FA 42 | out: 2N+4 (N at most 62) | 333 + 1200 + 1200 ms | 0 |
 * | 5 | FA 43 | ignored | 1000 ms | 0 |
 * | 6 | FA 44 | out: 2 (16-bit value) | 1000 + 333 ms | 0 |
 * | 7 | FA 45 | ignored | 1000 ms | 0 |
 * | 8 | FA 46 | out: 4 (the parameter block) | 1000 ms | 0 |
 * | 9 | FA 47 and 4 bytes | in: 4 (the parameter block) | 1000 ms | 0 |
 * | 10 | FA 4E, FA 32 k | in: 1 (channel); out: 4 (the pair count) | 333 + 2000 + 820 ms | 0 |
 * | 11 | nothing | in: 1 (array 0..3); out: pair-count bytes (at most 16,384) | none | 0 |
 * | 12 | FA 33 | out: N+2 (N at most 124) | 333 ms | 0 |
 * | 13 | FA 4E, FA 29 k | in: 1 (channel); out: 2 + rows x columns (at most 16,380) | 333 + 5000 + 2000 ms | 0 |
 * | 14 | FA 4B and 4 bytes | in: 4 (32-bit value) | 333 ms | 0 |
 * | 15 | FA 4C | out: 4 (32-bit value) | 333 ms | unchanged |
 * | 16 | FA 4D and 2 bytes | in: 2 (16-bit value) | 1000 ms | unchanged |
 * | 17 | FA 4E | out: 4 (the channel count) | 333 ms | unchanged |
 * | 18 | FA 4F and 8 bytes | in: 8 (the serial number) | 333 ms | 0 |
 * | 19 | FA 48, then FA 51 and 130 bytes | in: 128 (the info block) | 333 + 1000 ms | 0 |
 * | 20 | FA 52 | out: 129 (the info block and a zero) | 333 ms | unchanged |
 * | 21 | FA 53 and 4 bytes | in: 4 (32-bit value) | 333 ms | 0 |
 * | 22 | FA 05 | ignored | 2000 ms | unchanged |
 * | 23 | FA 54 | out: 8 (version text "%d.%d" and a zero) | 333 ms | 0 |
 * | 24 | FA 4E, FA 29 k | out: 3 + 3 x entries (at most 255) | 333 + 5000 + 2000 ms | 0 |
 * | 25 | nothing | out: 2 + lines x columns (at most 6,156): the last sheet's grid | none | unchanged |
 * | 26 | FA 54, then FA 60 24 07 (firmware 2 and later) | ignored | 333 + 333 ms | as the version query left it |
 * | 27 | FA 54, then FA 61 24 07 (firmware 2 and later) | ignored | 333 + 333 ms | as the version query left it |
 * | 28 | FA 62, length, text, CRC | in: zero-terminated text of at most 255 bytes | 1000 ms | unchanged |
 * | 29 | FA 63 | out: the stored text and a zero (at most 513) | 1000 + 333 + 333 ms | unchanged |
 * | 30 | FA 35 | out: 4 (the pair count) | 2000 + 820 ms | 0 |
 *
 * Codes 11 and 25 need no reader. Code 25 gives the line count, the column
 * count and the cells (0 to 15) of the last sheet whose data arrived, the
 * first line sent first; its result is 0 before any sheet. Codes 26 and 27
 * on firmware before 2 send nothing after the version query and answer 0
 * (26) and 1 (27).
 * @param code the command number, 3 to 30.
 * @param arg the command's buffer; may be NULL for codes 5, 7, 22, 26 and 27.
 * @return 1 when the command succeeded; 0 otherwise. A code outside 3..30
 *         answers 0 and leaves the last error; a NULL @p arg that the command
 *         needs gives 6; a failed exchange 8; a status word the reader
 *         returns (codes 4, 6, 10, 13, 24, 30) becomes the last error; code 11
 *         with an array number outside 0..3 gives 1. Codes 28 and 29 never
 *         change the last error.
 */
/* clang-format on */
OMR_API int OMR_CALL MR_SysCmd(int code, void* arg);

/**
 * @brief The reader's serial number.
 *
 * Sends FA 48; the answer (up to 20 bytes) is read for 333 ms.
 * @param out receives the serial text and a zero: at least 19 bytes.
 * @return the text's length (at most 18); -1 on a failed exchange (last error
 *         8). Success leaves the last error as it was.
 */
OMR_API int OMR_CALL MR_GetSerial(char* out);

/**
 * @brief The reader's total sheet counter.
 *
 * Sends FA 4A; the answer FB 4A and 4 bytes must arrive within 333 ms.
 * @return the counter, or 0 on failure: the last error (8 on failure,
 *         unchanged on success) tells a zero counter from a failure.
 */
OMR_API int OMR_CALL MR_ReadTotal(void);

/**
 * @brief Does nothing.
 * @return 0.
 */
OMR_API int OMR_CALL MR_SaveConfig(void);

/**
 * @brief Does nothing.
 * @param ignored any value.
 * @return 0.
 */
OMR_API int OMR_CALL MR_GetPara(int ignored);

/**
 * @brief The same function as MR_GetPara(): does nothing.
 * @param ignored any value.
 * @return 0.
 */
OMR_API int OMR_CALL MR_SetPara(int ignored);
/** @} */

/** @name Legacy text-command interface */
/** @{ */

/**
 * @brief Runs one text command of the older interface.
 *
 * Connects on demand (as MR_Installed() does) when not connected. Commands:
 * "" (reply "OK"); a number n followed by spaces (a piece of the result of
 * MR_GetResult() mode 1 from character n on, as long as the spaces after the
 * fourth character plus one); "/" or "R/" (send the form if it changed, then
 * MR_Read(); reply "OK" or the error as two digits, each costing the 200 ms of
 * MR_GetLastError()); "-/" (MR_StopMotor()); "B/" (clear, as MR_Clear());
 * "S" and a separator and a file name (MR_LoadForm(); reply "OK" or "01");
 * anything else is a form line without its quotes, stored for the next read.
 * Blocks as the function it runs.
 * @param command the command text; it must be writable and hold at least 3
 *        bytes: reads and file loads write their reply back into it.
 * @return 0 on success, -1 on failure (no reader: reply "08"), or for a result
 *         piece its length.
 */
OMR_API int OMR_CALL OmrS(char* command);

/**
 * @brief The reply of the last OmrS() command.
 *
 * Copies it into @p out without a terminating zero and clears it (a second
 * call copies nothing). Connects on demand.
 * @param out receives up to 2,047 bytes.
 * @return 0, or -1 when no reader can be connected.
 */
OMR_API int OMR_CALL OmrG(char* out);

/**
 * @brief The reader's serial number, through the older interface.
 *
 * As MR_GetSerial() (FA 48, 333 ms); "88888888" when the reader gives none.
 * Connects on demand.
 * @param out receives the text and a zero: at least 19 bytes.
 * @return 0, or -1 when no reader can be connected.
 */
OMR_API int OMR_CALL OmrVer(char* out);
/** @} */

#ifdef __cplusplus
}
#endif

#endif /* OMR_H */
